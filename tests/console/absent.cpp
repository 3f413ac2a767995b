// A DLL that the test payload leaves out on purpose: whatever imports it
// cannot be loaded.
extern "C" __declspec(dllexport) int absent_value(void) { return 1; }
