// Shows the import error itself when a test expects an import to succeed.
#pragma once

#include <gtest/gtest.h>

#include "hostkernel/registry.h"

inline ::testing::AssertionResult Imported(hk::Registry& registry, const std::string& text,
                                           const std::string& fileName = "test.reg") {
    if (const auto error = registry.ImportText(text, fileName)) {
        return ::testing::AssertionFailure() << error->ToString();
    }
    return ::testing::AssertionSuccess();
}
