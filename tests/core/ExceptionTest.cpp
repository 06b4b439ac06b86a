#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "qel/core/Exception.h"

using qel::CException;
using qel::FileNotFoundException;
using qel::IllegalStateException;
using qel::InvalidDateException;
using qel::IOException;
using qel::OSException;
using qel::RuntimeException;

namespace {

PluginException::ErrorCode pluginCode(std::int32_t value) {
  return static_cast<PluginException::ErrorCode>(value);
}

}  // namespace

TEST(Exception, TypeNamesAreTheUnqualifiedClassNames) {
  EXPECT_EQ(L"CException", CException().getExceptionType());
  EXPECT_EQ(L"RuntimeException", RuntimeException().getExceptionType());
  EXPECT_EQ(L"OSException", OSException(0, L"").getExceptionType());
  EXPECT_EQ(L"IllegalStateException", IllegalStateException().getExceptionType());
  EXPECT_EQ(L"PIMException", PIMException(L"").getExceptionType());
  EXPECT_EQ(L"PluginException", PluginException(pluginCode(0), L"").getExceptionType());
  EXPECT_EQ(L"IOException", IOException().getExceptionType());
  EXPECT_EQ(L"FileNotFoundException", FileNotFoundException(L"").getExceptionType());
  EXPECT_EQ(L"InvalidDateException", InvalidDateException().getExceptionType());
}

TEST(Exception, TypeNameIsDynamicThroughBaseReference) {
  const FileNotFoundException notFound(L"a.txt");
  const CException& base = notFound;
  EXPECT_EQ(L"FileNotFoundException", base.getExceptionType());
  const PIMException pim(L"x");
  const RuntimeException& runtime = pim;
  EXPECT_EQ(L"PIMException", runtime.getExceptionType());
}

TEST(Exception, ToStringIsTypeAloneForEmptyMessage) {
  EXPECT_EQ(L"CException", CException().toString());
  EXPECT_EQ(L"IllegalStateException", IllegalStateException().toString());
  EXPECT_EQ(L"InvalidDateException", InvalidDateException(L"").toString());
  EXPECT_EQ(L"RuntimeException", RuntimeException().toString());
}

TEST(Exception, ToStringJoinsTypeAndMessage) {
  EXPECT_EQ(L"CException: x", CException(L"x").toString());
  EXPECT_EQ(L"IOException: Write error", IOException(L"Write error").toString());
  EXPECT_EQ(L"FileNotFoundException: C:\\a.txt", FileNotFoundException(L"C:\\a.txt").toString());
  EXPECT_EQ(L"InvalidDateException: 2001-02-30", InvalidDateException(L"2001-02-30").toString());
  EXPECT_EQ(L"PIMException: sync", PIMException(L"sync").toString());
  EXPECT_EQ(L"IllegalStateException: no key", IllegalStateException(L"no key").toString());
}

TEST(Exception, MessageIsKeptUnchanged) {
  EXPECT_EQ(L"", CException().getMessage());
  EXPECT_EQ(L"a: b: c", CException(L"a: b: c").getMessage());
  EXPECT_EQ(L"IOException: a: b: c", IOException(L"a: b: c").toString());
  const std::wstring padded = L"  trailing space and\nnewline  ";
  EXPECT_EQ(padded, RuntimeException(padded).getMessage());
  const std::wstring longMessage(100000, L'\u00e9');
  const IOException io(longMessage);
  EXPECT_EQ(longMessage, io.getMessage());
  EXPECT_EQ(L"IOException: " + longMessage, io.toString());
  const std::wstring withNul(L"a\0b", 3);
  EXPECT_EQ(withNul, CException(withNul).getMessage());
}

TEST(Exception, ToStringThroughCExceptionReferenceIsTheBaseComposition) {
  const OSException os(2, L"CreateMutex");
  const CException& asBase = os;
  const RuntimeException& asRuntime = os;
  EXPECT_EQ(L"OSException: CreateMutex", asBase.toString());
  EXPECT_EQ(L"OSException: CreateMutex", asRuntime.toString());
  EXPECT_EQ(L"OSException with Error Code(2)", os.toString());

  const PluginException plugin(pluginCode(7), L"load");
  const CException& pluginBase = plugin;
  EXPECT_EQ(L"PluginException: load", pluginBase.toString());
  EXPECT_EQ(L"PluginException with Error Code 7", plugin.toString());

  const OSException emptyOs(5, L"");
  EXPECT_EQ(L"OSException", static_cast<const CException&>(emptyOs).toString());
}

TEST(Exception, OsExceptionToStringIsTheCodeOnly) {
  EXPECT_EQ(L"OSException with Error Code(5)", OSException(5, L"ReleaseMutex").toString());
  EXPECT_EQ(L"OSException with Error Code(-1)", OSException(-1, L"x").toString());
  EXPECT_EQ(L"OSException with Error Code(0)", OSException(0, L"").toString());
  EXPECT_EQ(L"OSException with Error Code(2147483647)", OSException(INT32_MAX, L"").toString());
  EXPECT_EQ(L"OSException with Error Code(-2147483648)", OSException(INT32_MIN, L"").toString());
  const OSException os(183, L"CreateMutex");
  EXPECT_EQ(183, os.getErrorCode());
  EXPECT_EQ(L"CreateMutex", os.getMessage());
}

TEST(Exception, OsExceptionToStringIsVirtualFromOsExceptionDown) {
  // A class below OSException that overrides nothing still gets the
  // OSException text through an OSException reference.
  class Derived : public OSException {
   public:
    Derived() : OSException(12, L"m") {}
  };
  const Derived derived;
  const OSException& asOs = derived;
  EXPECT_EQ(L"OSException with Error Code(12)", asOs.toString());
}

TEST(Exception, PluginExceptionKeepsCodeAndFormatsWithoutParentheses) {
  const PluginException empty(pluginCode(0), L"");
  EXPECT_EQ(L"PluginException with Error Code 0", empty.toString());
  EXPECT_EQ(L"PluginException", empty.getExceptionType());
  EXPECT_EQ(L"", empty.getMessage());
  EXPECT_EQ(pluginCode(0), empty.getErrorCode());

  const PluginException negative(pluginCode(-42), L"m");
  EXPECT_EQ(L"PluginException with Error Code -42", negative.toString());
  EXPECT_EQ(-42, static_cast<std::int32_t>(negative.getErrorCode()));
  EXPECT_EQ(4u, sizeof(PluginException::ErrorCode));
}

TEST(Exception, WhatIsUtf8OfTheBaseComposition) {
  EXPECT_STREQ("CException", CException().what());
  EXPECT_STREQ("CException: x", CException(L"x").what());
  // The non-virtual composition, not the code text of OSException.
  EXPECT_STREQ("OSException: CreateMutex", OSException(2, L"CreateMutex").what());
  EXPECT_STREQ("PluginException: p", PluginException(pluginCode(1), L"p").what());
  EXPECT_STREQ("IOException: caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
               IOException(L"caf\u00e9 \u20ac \U0001F600").what());
  const std::exception& standard = FileNotFoundException(L"f");
  EXPECT_STREQ("FileNotFoundException: f", standard.what());
}

TEST(Exception, WhatIsStableAcrossCalls) {
  const IOException io(L"disk");
  const char* first = io.what();
  const std::string copy = first;
  EXPECT_EQ(std::string(io.what()), copy);
  EXPECT_EQ("IOException: disk", copy);
}

TEST(Exception, CaughtAsStandardException) {
  try {
    throw InvalidDateException(L"2001-13-01");
  } catch (const std::exception& e) {
    EXPECT_STREQ("InvalidDateException: 2001-13-01", e.what());
    return;
  }
  ADD_FAILURE() << "not caught as std::exception";
}

TEST(Exception, CopyCarriesMessageCodeAndType) {
  const OSException original(6, L"::WaitForSingleObject");
  const OSException copy(original);
  EXPECT_EQ(6, copy.getErrorCode());
  EXPECT_EQ(L"::WaitForSingleObject", copy.getMessage());
  EXPECT_EQ(L"OSException", copy.getExceptionType());

  const PluginException plugin(pluginCode(9), L"p");
  const PluginException pluginCopy(plugin);
  EXPECT_EQ(pluginCode(9), pluginCopy.getErrorCode());
  EXPECT_EQ(L"p", pluginCopy.getMessage());

  const FileNotFoundException notFound(L"f");
  const FileNotFoundException notFoundCopy(notFound);
  EXPECT_EQ(L"FileNotFoundException: f", notFoundCopy.toString());
}

TEST(Exception, CopyMadeWhilePropagatingMatchesTheOriginal) {
  try {
    try {
      throw OSException(288, L"ReleaseMutex");
    } catch (const OSException& caught) {
      const OSException byValue(caught);
      EXPECT_EQ(288, byValue.getErrorCode());
      EXPECT_EQ(L"ReleaseMutex", byValue.getMessage());
      throw;
    }
  } catch (const CException& e) {
    EXPECT_EQ(L"OSException", e.getExceptionType());
    EXPECT_EQ(L"OSException: ReleaseMutex", e.toString());
    return;
  }
  ADD_FAILURE() << "rethrow lost";
}

TEST(Exception, AssignmentCopiesMessageAndCode) {
  OSException target(1, L"one");
  const OSException source(2, L"two");
  target = source;
  EXPECT_EQ(2, target.getErrorCode());
  EXPECT_EQ(L"two", target.getMessage());
  EXPECT_EQ(L"two", source.getMessage());

  PluginException plugin(pluginCode(1), L"one");
  plugin = PluginException(pluginCode(3), L"three");
  EXPECT_EQ(pluginCode(3), plugin.getErrorCode());
  EXPECT_EQ(L"three", plugin.getMessage());

  IOException io(L"a");
  io = IOException(L"b");
  EXPECT_EQ(L"IOException: b", io.toString());
}

TEST(Exception, WhatFollowsAssignment) {
  CException target(L"before");
  EXPECT_STREQ("CException: before", target.what());
  target = CException(L"after");
  EXPECT_STREQ("CException: after", target.what());

  OSException os(1, L"old");
  EXPECT_STREQ("OSException: old", os.what());
  os = OSException(2, L"new");
  EXPECT_STREQ("OSException: new", os.what());

  // A copy of an exception whose text was already produced has its own.
  const IOException source(L"s");
  EXPECT_STREQ("IOException: s", source.what());
  IOException copy(source);
  copy = IOException(L"t");
  EXPECT_STREQ("IOException: t", copy.what());
  EXPECT_STREQ("IOException: s", source.what());
}

TEST(Exception, SelfAssignmentLeavesEveryClassUnchanged) {
  CException c(L"c");
  CException& cAlias = c;
  c = cAlias;
  EXPECT_EQ(L"CException: c", c.toString());
  EXPECT_STREQ("CException: c", c.what());

  OSException os(5, L"os");
  EXPECT_STREQ("OSException: os", os.what());
  OSException& osAlias = os;
  os = osAlias;
  EXPECT_EQ(5, os.getErrorCode());
  EXPECT_EQ(L"os", os.getMessage());
  EXPECT_STREQ("OSException: os", os.what());

  PluginException plugin(pluginCode(4), L"pl");
  PluginException& pluginAlias = plugin;
  plugin = pluginAlias;
  EXPECT_EQ(pluginCode(4), plugin.getErrorCode());
  EXPECT_EQ(L"pl", plugin.getMessage());

  FileNotFoundException notFound(L"nf");
  FileNotFoundException& notFoundAlias = notFound;
  notFound = notFoundAlias;
  EXPECT_EQ(L"FileNotFoundException: nf", notFound.toString());

  IllegalStateException illegal(L"il");
  IllegalStateException& illegalAlias = illegal;
  illegal = illegalAlias;
  EXPECT_EQ(L"il", illegal.getMessage());

  PIMException pim(L"pim");
  PIMException& pimAlias = pim;
  pim = pimAlias;
  EXPECT_EQ(L"pim", pim.getMessage());
}

// what() is a const query: several threads may ask the same caught exception
// at once.
TEST(ExceptionConcurrency, WhatFromSeveralThreadsAtOnce) {
  for (int round = 0; round < 20; ++round) {
    const IOException shared(L"shared \u00e9");
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < results.size(); ++t) {
      threads.emplace_back([&shared, &results, t] { results[t] = shared.what(); });
    }
    for (auto& thread : threads) {
      thread.join();
    }
    for (const auto& text : results) {
      EXPECT_EQ("IOException: shared \xC3\xA9", text);
    }
  }
}
