#include "qel/platform/ModuleDLL.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "qel/core/Exception.h"

namespace qel {
namespace {

using AddFunction = int (*)(int, int);

std::wstring widePath(const char* path) {
  return std::wstring(path, path + std::string(path).size());
}

const std::wstring kModulePath = widePath(QEL_TEST_MODULE_PATH);

TEST(ModuleDLLTest, FindsAndCallsAnExportByName) {
  CModuleDLL module(kModulePath);
  const auto add =
      reinterpret_cast<AddFunction>(module.symbol(std::wstring(L"qel_test_module_add")));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  EXPECT_EQ(add(-7, 4), -3);

  auto* counter = static_cast<int*>(module.symbol(std::wstring(L"qel_test_module_counter")));
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(*counter, 41);
}

TEST(ModuleDLLTest, CopiesAndSecondLoadsShareTheModule) {
  void* expected = nullptr;
  CModuleDLL second(kModulePath);
  {
    CModuleDLL first(kModulePath);
    CModuleDLL copy(first);
    CModuleDLL assigned(second);
    assigned = first;
    expected = first.symbol(std::wstring(L"qel_test_module_add"));
    EXPECT_EQ(copy.symbol(std::wstring(L"qel_test_module_add")), expected);
    EXPECT_EQ(assigned.symbol(std::wstring(L"qel_test_module_add")), expected);
    EXPECT_EQ(second.symbol(std::wstring(L"qel_test_module_add")), expected);
  }
  // The others are gone; the module is still loaded and callable.
  void* again = second.symbol(std::wstring(L"qel_test_module_add"));
  EXPECT_EQ(again, expected);
  EXPECT_EQ(reinterpret_cast<AddFunction>(again)(20, 22), 42);
}

TEST(ModuleDLLTest, LoadFailuresCarryThePathAndAnErrorCode) {
  const std::wstring paths[] = {L"/nonexistent-qel-dir/libmissing.so", L"libqel-no-such-module.so",
                                widePath(QEL_TEST_NOT_A_MODULE)};
  for (const std::wstring& path : paths) {
    try {
      CModuleDLL module(path);
      ADD_FAILURE() << "loaded a module that cannot exist";
    } catch (const OSException& e) {
      EXPECT_EQ(e.getMessage(), path);
      EXPECT_NE(e.getErrorCode(), 0);
    }
  }
}

TEST(ModuleDLLTest, RejectsEmptyPathsAndPathsWithNul) {
  // Without the check an empty path would hand back the main program, and a
  // NUL would load a shorter path than the one given.
  const std::wstring withNul = kModulePath + std::wstring(1, L'\0') + L"x";
  for (const std::wstring& path : {std::wstring(), withNul}) {
    try {
      CModuleDLL module(path);
      ADD_FAILURE() << "accepted an unusable path";
    } catch (const OSException& e) {
      EXPECT_EQ(e.getMessage(), path);
      EXPECT_EQ(e.getErrorCode(), EINVAL);
    }
  }
}

TEST(ModuleDLLTest, MissingExportsAndOrdinalsThrow) {
  CModuleDLL module(kModulePath);
  const std::wstring missing = L"qel_test_module_subtract";
  try {
    module.symbol(missing);
    ADD_FAILURE() << "found an export that does not exist";
  } catch (const OSException& e) {
    EXPECT_EQ(e.getMessage(), missing);
    EXPECT_NE(e.getErrorCode(), 0);
  }

  // The part before the NUL exists; the name as given does not.
  const std::wstring withNul = std::wstring(L"qel_test_module_add") + L'\0' + L"x";
  EXPECT_THROW(module.symbol(withNul), OSException);

  for (int ordinal : {0, 1, 2, -1}) {
    try {
      module.symbol(ordinal);
      ADD_FAILURE() << "ordinal " << ordinal << " resolved";
    } catch (const OSException& e) {
      EXPECT_EQ(e.getMessage(), L"ordinal call");
      EXPECT_NE(e.getErrorCode(), 0);
    }
  }
}

}  // namespace
}  // namespace qel
