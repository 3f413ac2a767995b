// Run state shared between the run sequence and clean-up.
#include "launcher/run_state.h"

wchar_t target_directory[target_directory_capacity];

static HANDLE volatile child_process;

void publish_child_process(HANDLE process) { InterlockedExchangePointer((PVOID volatile *)&child_process, process); }

// The exchange makes the hand-over atomic: of two threads racing here, one
// gets the handle and the other gets null.
HANDLE take_child_process(void) { return InterlockedExchangePointer((PVOID volatile *)&child_process, NULL); }
