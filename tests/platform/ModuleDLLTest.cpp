#include "qel/platform/ModuleDLL.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "qel/core/Exception.h"

namespace qel {
namespace {

using AddFunction = int (*)(int, int);

std::wstring widePath(const char* path) {
  return std::wstring(path, path + std::string(path).size());
}

const std::wstring kModulePath = widePath(QEL_TEST_MODULE_PATH);
const std::wstring kAdd = L"qel_test_module_add";

// The message and error code of the OSException that call throws.
std::pair<std::wstring, int> failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const OSException& e) {
    return {e.getMessage(), e.getErrorCode()};
  }
  return {L"<nothing thrown>", 0};
}

TEST(ModuleDLLTest, FindsExportsByNameAndCopiesShareTheModule) {
  void* expected = nullptr;
  CModuleDLL second(kModulePath);
  {
    CModuleDLL first(kModulePath);
    const auto add = reinterpret_cast<AddFunction>(first.symbol(kAdd));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    EXPECT_EQ(add(-7, 4), -3);
    EXPECT_EQ(*static_cast<int*>(first.symbol(std::wstring(L"qel_test_module_counter"))), 41);
    CModuleDLL copy(first);
    CModuleDLL assigned(second);
    assigned = first;
    expected = first.symbol(kAdd);
    EXPECT_EQ(copy.symbol(kAdd), expected);
    EXPECT_EQ(assigned.symbol(kAdd), expected);
    EXPECT_EQ(second.symbol(kAdd), expected);
  }
  // The others are gone; the module is still loaded and callable.
  EXPECT_EQ(second.symbol(kAdd), expected);
  EXPECT_EQ(reinterpret_cast<AddFunction>(second.symbol(kAdd))(20, 22), 42);
}

TEST(ModuleDLLTest, FailuresCarryTheNameAndAnErrorCode) {
  // Without the checks an empty path would hand back the main program, and a
  // NUL would load a shorter path, or find a shorter name, than the one given.
  const std::wstring nulPath = kModulePath + std::wstring(1, L'\0') + L"x";
  for (const std::wstring& path : {std::wstring(L"/nonexistent-qel-dir/libmissing.so"),
                                   std::wstring(L"libqel-no-such-module.so"),
                                   widePath(QEL_TEST_NOT_A_MODULE), std::wstring(), nulPath}) {
    const auto failure = failureOf([&] { CModuleDLL module(path); });
    EXPECT_EQ(failure.first, path);
    EXPECT_TRUE(path.empty() || path == nulPath ? failure.second == EINVAL : failure.second != 0);
  }
  CModuleDLL module(kModulePath);
  for (const std::wstring& name :
       {std::wstring(L"qel_test_module_subtract"), kAdd + L'\0' + L"x"}) {
    const auto failure = failureOf([&] { module.symbol(name); });
    EXPECT_EQ(failure.first, name);
    EXPECT_NE(failure.second, 0);
  }
  for (int ordinal : {0, 1, 2, -1}) {
    const auto failure = failureOf([&] { module.symbol(ordinal); });
    EXPECT_EQ(failure.first, L"ordinal call");
    EXPECT_NE(failure.second, 0);
  }
}

}  // namespace
}  // namespace qel
