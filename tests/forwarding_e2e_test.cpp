// Forwarding to the command server end to end.
#include <gtest/gtest.h>

#include "tests/e2e_support.hpp"
