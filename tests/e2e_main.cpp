#include <gtest/gtest.h>

#include "tests/e2e_support.hpp"

int main(int argc, char** argv) {
    e2e::prepare_namespaces();  // before any thread exists
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
