// Entry point of the Windows test programs: a wide main, so that the C
// runtime prepares the wide argument vector the launcher code reads.
#include <gtest/gtest.h>

int wmain(int argc, wchar_t **argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
