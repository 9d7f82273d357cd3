#include "platform/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(Text, AppendsAndFormatsUnsignedLikePercentU) {
  struct Case {
    uint32_t value;
    const wchar_t* expected;
  };
  for (const Case& c : {Case{0, L"n=0"}, Case{32, L"n=32"}, Case{4294967295u, L"n=4294967295"}}) {
    Text text(L"n=");
    text.AppendUnsigned(c.value);
    EXPECT_STREQ(c.expected, text.c_str());
  }
}

TEST(Text, GrowsPastManyReallocationsAndAppendsItself) {
  Text text;
  EXPECT_STREQ(L"", text.c_str());
  std::wstring expected;
  for (int i = 0; i < 5000; ++i) {
    text.Append(L"ab").Append(L'\x00e9');
    expected += L"ab\x00e9";
  }
  EXPECT_EQ(expected, text.c_str());
  text.Append(text);  // the source is the growing buffer itself
  EXPECT_EQ(expected + expected, text.c_str());

  Text copy = text;
  Text moved = std::move(text);
  EXPECT_EQ(copy.size(), moved.size());
  copy.Clear();
  EXPECT_TRUE(copy.empty());
  EXPECT_STREQ(L"", copy.c_str());
}

TEST(TextList, KeepsOrderDuplicatesAndEmptyItems) {
  TextList list;
  for (const wchar_t* item : {L"B=2", L"", L"A=1", L"B=2"}) list.Append(item);
  std::vector<std::wstring> seen;
  for (const wchar_t* item : list) seen.emplace_back(item);
  EXPECT_EQ((std::vector<std::wstring>{L"B=2", L"", L"A=1", L"B=2"}), seen);
  EXPECT_EQ(4u, list.size());
}
