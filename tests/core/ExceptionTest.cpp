#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "qel/core/Exception.h"
#include "support/Threads.h"

using qel::CException;
using qel::FileNotFoundException;
using qel::IllegalStateException;
using qel::InvalidDateException;
using qel::IOException;
using qel::OSException;
using qel::RuntimeException;
using qel_test::onThreads;

namespace {

PluginException::ErrorCode pluginCode(std::int32_t value) {
  return static_cast<PluginException::ErrorCode>(value);
}

// A copy and an assignment, to itself as well, carry message, code and text;
// the source keeps its own.
template <typename E>
void expectCopiesCarry(const E& first, const E& second) {
  const std::string firstWhat = first.what();
  E copy(first);
  EXPECT_EQ(first.toString(), copy.toString());
  EXPECT_EQ(firstWhat, copy.what());
  copy = second;
  E& alias = copy;
  copy = alias;
  EXPECT_EQ(second.getMessage(), copy.getMessage());
  EXPECT_EQ(second.toString(), copy.toString());
  EXPECT_STREQ(second.what(), copy.what());
  EXPECT_EQ(firstWhat, first.what());
}

}  // namespace

// Through a CException reference every class composes "type: message", or
// the type alone for an empty message; what() is that text in UTF-8.
TEST(Exception, TypeAndMessageComposeThroughTheBase) {
  const struct {
    std::shared_ptr<const CException> exception;
    const wchar_t* text;
  } cases[] = {
      {std::make_shared<CException>(), L"CException"},
      {std::make_shared<RuntimeException>(), L"RuntimeException"},
      {std::make_shared<IllegalStateException>(L"no key"), L"IllegalStateException: no key"},
      {std::make_shared<PIMException>(L"sync"), L"PIMException: sync"},
      {std::make_shared<IOException>(L"a: b: c"), L"IOException: a: b: c"},
      {std::make_shared<FileNotFoundException>(L"C:\\a.txt"), L"FileNotFoundException: C:\\a.txt"},
      {std::make_shared<InvalidDateException>(L""), L"InvalidDateException"},
      {std::make_shared<OSException>(2, L"CreateMutex"), L"OSException: CreateMutex"},
      {std::make_shared<OSException>(5, L""), L"OSException"},
      {std::make_shared<PluginException>(pluginCode(7), L"load"), L"PluginException: load"},
      {std::make_shared<IOException>(L"caf\u00e9 \u20ac \U0001F600"),
       L"IOException: caf\u00e9 \u20ac \U0001F600"}};
  for (const auto& c : cases) {
    const std::wstring text = c.text;
    const std::string utf8 = text.back() == L'\U0001F600'
                                 ? "IOException: caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"
                                 : std::string(text.begin(), text.end());
    EXPECT_EQ(text.substr(0, text.find(L':')), c.exception->getExceptionType());
    EXPECT_EQ(text, c.exception->toString());
    EXPECT_EQ(utf8, c.exception->what());
    EXPECT_EQ(utf8, static_cast<const std::exception&>(*c.exception).what());
  }
  for (const std::wstring& message : {std::wstring(L"  trailing space and\nnewline  "),
                                      std::wstring(L"a\0b", 3), std::wstring(100000, L'\u00e9')}) {
    EXPECT_EQ(message, IOException(message).getMessage());
    EXPECT_EQ(L"IOException: " + message, IOException(message).toString());
  }
}

// From OSException down the text is the code alone; PluginException writes
// its code without parentheses.
TEST(Exception, CodedExceptionsWriteTheirCode) {
  class Derived : public OSException {
   public:
    Derived() : OSException(12, L"m") {}
  };
  EXPECT_EQ(L"OSException with Error Code(12)",
            static_cast<const OSException&>(Derived()).toString());
  const std::int32_t codes[] = {5, -1, 0, INT32_MAX, INT32_MIN};
  for (std::int32_t code : codes) {
    const OSException os(code, L"ReleaseMutex");
    EXPECT_EQ(L"OSException with Error Code(" + std::to_wstring(code) + L")", os.toString());
    EXPECT_EQ(code, os.getErrorCode());
    EXPECT_EQ(L"ReleaseMutex", os.getMessage());
    const PluginException plugin(pluginCode(code), L"");
    EXPECT_EQ(L"PluginException with Error Code " + std::to_wstring(code), plugin.toString());
    EXPECT_EQ(code, static_cast<std::int32_t>(plugin.getErrorCode()));
  }
}

// toString shows the codes of the coded classes, what() the message.
TEST(Exception, CopiesAndAssignmentsCarryMessageCodeAndText) {
  expectCopiesCarry(OSException(6, L"::WaitForSingleObject"), OSException(2, L"new"));
  expectCopiesCarry(PluginException(pluginCode(1), L"one"),
                    PluginException(pluginCode(3), L"three"));
  expectCopiesCarry(CException(L"before"), CException(L"after"));
  expectCopiesCarry(FileNotFoundException(L"nf"), FileNotFoundException(L"other"));
}

// what() is a const query: several threads may ask the same caught exception
// at once.
TEST(ExceptionConcurrency, WhatFromSeveralThreadsAtOnce) {
  for (int round = 0; round < 20; ++round) {
    const IOException shared(L"shared \u00e9");
    onThreads(4, [&shared](int) { EXPECT_STREQ("IOException: shared \xC3\xA9", shared.what()); });
  }
}
