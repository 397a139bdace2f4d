// nvapi32.h compiled as C (c_header.c) and its calls made from there.
#include <gtest/gtest.h>

#include "api/tests/support.h"

extern "C" int nvapi32_c_header_check(void);

namespace {

using CHeaderTest = apitest::ApiTest;

TEST_F(CHeaderTest, CProgramCallsEveryExport) { EXPECT_EQ(nvapi32_c_header_check(), 0); }

} // namespace
