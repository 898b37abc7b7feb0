#include <gtest/gtest.h>

// The build links every program with -municode, so tests enter through wmain.
int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
