#include "qel/archive/Tree.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ArchiveTestSupport.h"
#include "qel/core/Exception.h"
#include "qel/core/StringHelper.h"
#include "support/Thrown.h"

namespace {

using qel::CBaseComponent;
using qel::CComponent;
using qel::CComposite;
using qel::IOException;
using qel_test::binaryOf;
using qel_test::compositeOf;
using qel_test::describeTree;
namespace tree = qel::tree;

std::string valueAt(const CComposite& root, const std::string& path) {
  return tree::getText(root, path).value_or("<none>");
}

// root: user{server=a, name=n, server=b, "a/b"=slash, ""=empty, "\"=back, "x[1]"=bracket,
// server=c}, net{port, blob (binary)}; user's list ends with its last added
// child, the third server, out of name order.
class Trees : public ::testing::Test {
 protected:
  void SetUp() override {
    qel::DISPLAY_ERROR_LOGS = false;
    root.add(compositeOf(
        {new CComponent("server", "a"), new CComponent("name", "n"), new CComponent("server", "b"),
         new CComponent("a/b", "slash"), new CComponent("", "empty"), new CComponent("\\", "back"),
         new CComponent("x[1]", "bracket"), new CComponent("server", "c")},
        "user"));
    root.add(compositeOf({new CComponent("port", "8080"), binaryOf("blob", "\x01\x02")}, "net"));
  }
  void TearDown() override { qel::DISPLAY_ERROR_LOGS = true; }

  CComposite root;
};

TEST_F(Trees, PathsNameEveryNodeThroughEscapesAndIndexesWithoutReorderingAList) {
  const std::string before = describeTree(root);
  EXPECT_EQ(tree::lookup(root, ""), &root);
  EXPECT_EQ(valueAt(root, "user/server"), "a");
  EXPECT_EQ(valueAt(root, "user/server[0]"), "a");
  EXPECT_EQ(valueAt(root, "user/server[1]"), "b");
  EXPECT_EQ(valueAt(root, "user/server[2]"), "c");
  EXPECT_EQ(tree::lookup(root, "user/server[3]"), nullptr);
  EXPECT_EQ(valueAt(root, "user/a\\/b"), "slash");
  EXPECT_EQ(valueAt(root, "user/x\\[1]"), "bracket");
  EXPECT_EQ(valueAt(root, "user/\\\\"), "back");
  EXPECT_EQ(valueAt(root, "user/"), "empty");
  EXPECT_EQ(valueAt(root, "user/[0]"), "empty");
  EXPECT_EQ(tree::lookup(root, "user/a/b"), nullptr);
  EXPECT_EQ(tree::lookup(root, "net/port/deeper"), nullptr);
  EXPECT_EQ(tree::getText(root, "net/blob"), std::nullopt);
  EXPECT_EQ(tree::getText(root, "net"), std::nullopt);
  for (const char* bad : {"a\\", "a\\n", "a[", "a[]", "a[1", "a[x]", "a[-1]", "a[1]b", "a[1]]",
                          "a[99999999999999999999999]"}) {
    EXPECT_THROW(tree::lookup(root, bad), IOException) << bad;
  }
  EXPECT_EQ(qel_test::messageOf<IOException>([&] { tree::lookup(root, "a[x]"); }).find(L"a[x]: "),
            0u);

  // Every path visit gives looks up the node it was given with, the last
  // added child (out of name order) too; nothing moved in any list.
  std::vector<std::string> paths;
  tree::visit(root, [&](const std::string& path, const CBaseComponent& node) {
    paths.push_back(path);
    EXPECT_EQ(tree::lookup(root, path), &node) << path;
  });
  EXPECT_EQ(paths,
            (std::vector<std::string>{"user", "user/[0]", "user/\\\\", "user/a\\/b", "user/name",
                                      "user/server", "user/server[1]", "user/x\\[1]",
                                      "user/server[2]", "net", "net/port", "net/blob"}));
  std::string names;
  const auto& user = static_cast<const CComposite&>(*tree::lookup(root, "user"));
  for (const CBaseComponent& child : tree::children(user)) {
    names += child.getName() + ",";
  }
  EXPECT_EQ(names, ",\\,a/b,name,server,server,x[1],server,");
  EXPECT_EQ(describeTree(root), before);
}

TEST_F(Trees, TypedValuesParseTheWholeTextOrGiveTheFallback) {
  CComposite values;
  const auto with = [&](const std::string& text) -> const CComposite& {
    tree::setText(values, "v", text);
    return values;
  };
  EXPECT_EQ(tree::get(with("-42"), "v", 0), -42);
  EXPECT_EQ(tree::get(with("2147483647"), "v", 0), 2147483647);
  EXPECT_EQ(tree::get(with("2147483648"), "v", 7), 7) << "overflow";
  EXPECT_EQ(tree::get(with("-2147483648"), "v", 7), -2147483647 - 1);
  EXPECT_EQ(tree::get(with("-2147483649"), "v", 7), 7);
  EXPECT_EQ(tree::get(with("2147483648"), "v", 7LL), 2147483648LL);
  for (const char* bad : {"", "-", " 1", "1 ", "+1", "1x", "0x10", "--1", "١"}) {
    EXPECT_EQ(tree::get(with(bad), "v", 7), 7) << bad;
  }
  EXPECT_EQ(tree::get(with("-1"), "v", 7ULL), 7ULL) << "no sign for unsigned";
  EXPECT_EQ(tree::get(with("18446744073709551615"), "v", 7ULL), 18446744073709551615ULL);
  EXPECT_EQ(tree::get(with("18446744073709551616"), "v", 7ULL), 7ULL);
  EXPECT_EQ(tree::get(with("4294967296"), "v", 7U), 7U);
  EXPECT_DOUBLE_EQ(tree::get(with("-1.5e3"), "v", 0.0), -1500.0);
  for (const char* bad : {"1.5.", "inf", "nan", "1e999", ".", "1,5"}) {
    EXPECT_DOUBLE_EQ(tree::get(with(bad), "v", 7.0), 7.0) << bad;
  }
  EXPECT_TRUE(tree::get(with("true"), "v", false));
  EXPECT_TRUE(tree::get(with("1"), "v", false));
  EXPECT_FALSE(tree::get(with("false"), "v", true));
  EXPECT_FALSE(tree::get(with("0"), "v", true));
  EXPECT_TRUE(tree::get(with("TRUE"), "v", true) && !tree::get(with("yes"), "v", false));
  EXPECT_EQ(tree::get(with("text"), "v", "none"), "text");
  EXPECT_EQ(tree::get(values, "missing", "none"), "none");
  EXPECT_EQ(tree::get(root, "net/blob", 5), 5) << "a binary value is no text";
}

TEST_F(Trees, SetTextAddsWhatIsMissingAndRefusedPathsChangeNothing) {
  EXPECT_EQ(tree::setText(root, "user/server[1]", "B").getValue(), "B");
  EXPECT_EQ(valueAt(root, "user/server[1]"), "B");
  tree::setText(root, "user/server[3]", "d");
  EXPECT_EQ(valueAt(root, "user/server[3]"), "d");
  tree::setText(root, "new/deep/er", "v");
  EXPECT_EQ(valueAt(root, "new/deep/er"), "v");
  EXPECT_TRUE(tree::lookup(root, "new/deep")->isComposite());

  const std::string before = describeTree(root);
  const auto refused = [&](const char* path) {
    return qel_test::messageOf<IOException>([&] { tree::setText(root, path, "x"); });
  };
  EXPECT_EQ(refused(""), L": the root is a composite");
  EXPECT_EQ(refused("net"), L"net: is a composite, not a text component");
  EXPECT_EQ(refused("net/blob"), L"net/blob: is a binary component, not a text component");
  EXPECT_EQ(refused("net/port/x/y"),
            L"net/port/x/y: net/port is a text component, not a composite");
  EXPECT_EQ(refused("user/server[5]"), L"user/server[5]: no server[4] to add after");
  EXPECT_EQ(refused("fresh/a[1]"), L"fresh/a[1]: no a[0] to add after")
      << "refused before fresh is made";
  EXPECT_EQ(describeTree(root), before);

  const unsigned char bytes[] = {0, 1, 2};
  unsigned int size = 0;
  tree::setData(root, "net/blob", bytes, 3).getData(size);
  EXPECT_EQ(size, 3u);
  tree::setData(root, "net/blob", nullptr, 0).getData(size);
  EXPECT_EQ(size, 0u) << "no bytes empty the value";
  tree::setData(root, "bin/new", bytes, 2).getData(size);
  EXPECT_EQ(size, 2u);
  EXPECT_THROW(tree::setData(root, "net/port", bytes, 1), IOException);
}

TEST_F(Trees, RemoveAndMoveTakeWholeSubtreesAndRefuseImpossibleTargets) {
  EXPECT_TRUE(tree::remove(root, "user/server[1]"));
  EXPECT_EQ(valueAt(root, "user/server[1]"), "c") << "the next of the name moves up";
  EXPECT_FALSE(tree::remove(root, "user/server[2]"));
  EXPECT_FALSE(tree::remove(root, "nothing/here"));
  EXPECT_THROW(tree::remove(root, ""), IOException);

  EXPECT_TRUE(tree::move(root, "net", "settings/network"));
  EXPECT_EQ(tree::lookup(root, "net"), nullptr);
  EXPECT_EQ(valueAt(root, "settings/network/port"), "8080");
  EXPECT_TRUE(tree::move(root, "settings/network/port", "settings/network/p"));
  EXPECT_EQ(valueAt(root, "settings/network/p"), "8080");
  EXPECT_FALSE(tree::move(root, "missing", "elsewhere"));

  const std::string before = describeTree(root);
  EXPECT_EQ(qel_test::messageOf<IOException>([&] { tree::move(root, "settings", "settings/x"); }),
            L"settings/x: lies inside settings");
  EXPECT_EQ(qel_test::messageOf<IOException>([&] { tree::move(root, "user", "settings"); }),
            L"settings: exists");
  EXPECT_THROW(tree::move(root, "user", ""), IOException);
  EXPECT_THROW(tree::move(root, "", "x"), IOException);
  EXPECT_THROW(tree::move(root, "user", "settings/network/p/x"), IOException);
  EXPECT_EQ(describeTree(root), before);

  // The node moved does not count among its own name's children: moving
  // the last "server" to "server[2]" of the same list is refused.
  EXPECT_THROW(tree::move(root, "user/server[1]", "user/server[2]"), IOException);
  EXPECT_TRUE(tree::move(root, "user/name", "user/server[2]"));
  EXPECT_EQ(valueAt(root, "user/server[1]"), "c");
  EXPECT_EQ(valueAt(root, "user/server[2]"), "n");
}

TEST(TreeWalks, AMillionDeepChainIsVisitedAndRemovedWithoutRecursion) {
  constexpr int kDepth = 1000000;
  CComposite root;
  CComposite* tip = &root;
  for (int i = 0; i < kDepth; ++i) {
    auto* next = new CComposite("c");
    tip->add(next);
    tip = next;
  }
  std::size_t nodes = 0;
  std::size_t deepest = 0;
  tree::visit(root, [&](const std::string& path, const CBaseComponent&) {
    ++nodes;
    deepest = path.size();
  });
  EXPECT_EQ(nodes, static_cast<std::size_t>(kDepth));
  EXPECT_EQ(deepest, 2u * kDepth - 1);
  EXPECT_TRUE(tree::remove(root, "c"));
  EXPECT_FALSE(root.hasChildren());
}

TEST(TreeText, Utf8ConversionsKeepEveryByteAndNameWhatThePageLacks) {
  ASSERT_EQ(qel::CWin32Helper::getAnsiCodePage(), 1252u);
  const std::string ansi("caf\xe9\0\x80", 6);
  const std::string utf8("caf\xc3\xa9\0\xe2\x82\xac", 9);
  EXPECT_EQ(tree::toUtf8(ansi), utf8);
  EXPECT_EQ(tree::fromUtf8(utf8), ansi) << "NUL bytes inside are kept";
  EXPECT_EQ(qel_test::messageOf<IOException>([] { tree::fromUtf8("a\xe6\x97\xa5z"); }),
            L"\"\x65e5\" (U+65E5) cannot be represented in code page 1252");
  tree::TextLoss loss;
  EXPECT_EQ(tree::fromUtf8("\xe6\x97\xa5\xff-\xe2\x82\xac", loss), "?\?-\x80");
  EXPECT_EQ(loss.nCount, 2u);
  EXPECT_EQ(loss.sFirst, "an invalid UTF-8 sequence");
  tree::TextLoss none;
  EXPECT_EQ(tree::toUtf8("\x81", none), "\xc2\x81") << "as Windows maps it";
  ASSERT_TRUE(qel::CWin32Helper::setAnsiCodePage(1253));
  tree::TextLoss undefined;
  const std::string greek = tree::toUtf8("\xaa\xe1", undefined);
  qel::CWin32Helper::setAnsiCodePage(1252);
  EXPECT_EQ(greek, "\xef\xbf\xbd\xce\xb1");
  EXPECT_EQ(none.nCount + undefined.nCount, 1u);
}

}  // namespace
