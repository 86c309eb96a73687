// transactions: written next
#include <gtest/gtest.h>
