#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdline/command_line_info.h"
#include "fake_host.h"

namespace {

// Feeds `arguments` through the framework's splitting, as the launcher does.
class ParsingApp : public CWinApp {
 public:
  bool InitInstance() override {
    ParseCommandLine(info);
    return false;
  }
  CSetupCommandLineInfo info;
};

struct Parsed {
  bool valid;
  int32_t parseState;
  std::wstring switches;  // present keys, e.g. "/i /qn"
  std::vector<std::wstring> properties;
};

Parsed Summarise(const CSetupCommandLineInfo& info) {
  Parsed parsed{info.m_bValid, info.m_nParseState, L"", {}};
  for (SwitchKey key : {SwitchKey::Install, SwitchKey::Uninstall, SwitchKey::Log, SwitchKey::Quiet,
                        SwitchKey::Help}) {
    if (!info.HasSwitch(key)) continue;
    if (!parsed.switches.empty()) parsed.switches += L' ';
    parsed.switches += SwitchText(key);
  }
  for (const wchar_t* property : info.m_properties) parsed.properties.emplace_back(property);
  return parsed;
}

Parsed Parse(const std::wstring& arguments) {
  FakeHost host;
  ParsingApp app;
  RunApplication(app, host, (L"setup.exe " + arguments).c_str());
  return Summarise(app.info);
}

using Props = std::vector<std::wstring>;

}  // namespace

TEST(CommandLine, RecordsSwitchesAndProperties) {
  struct Case {
    const wchar_t* arguments;
    Parsed expected;
  };
  const Case cases[] = {
      {L"", {true, 0, L"", {}}},
      // Either case, slash, hyphen or nothing before the letter.
      {L"/I", {true, 1, L"/i", {}}},
      {L"-i", {true, 1, L"/i", {}}},
      {L"i", {true, 1, L"/i", {}}},
      {L"/X /L -Q /?", {true, 1, L"/x /l* /qn /?", {}}},
      {L"/x /x", {true, 1, L"/x", {}}},
      // Whole-argument match only; a doubled slash is left in place.
      {L"/install //i /il /? ?? /\x0130", {true, 1, L"/?", {}}},
      // Properties: the first '=' splits, after at least one character and
      // before the last one. A removed slash or hyphen does not come back.
      {L"NAME=value /NAME2=v -A=B=C", {true, 0, L"", {L"NAME=value", L"NAME2=v", L"A=B=C"}}},
      {L"NAME= =value = NAME / - \"\"", {true, 0, L"", {}}},
      {L"\"P=a b\" P=1 P=1", {true, 0, L"", {L"P=a b", L"P=1", L"P=1"}}},
      // Help stays valid with other switches.
      {L"/? /i", {true, 1, L"/i /?", {}}},
      {L"/? /x", {true, 1, L"/x /?", {}}},
      // Install with uninstall is rejected, whatever comes last; the switches
      // go, the properties stay.
      {L"/i /x", {false, 2, L"", {}}},
      {L"A=1 /x /i", {false, 2, L"", {L"A=1"}}},
      {L"/i /x /?", {false, 2, L"", {}}},
      {L"/i /x B=2", {false, 2, L"", {L"B=2"}}},
  };
  for (const Case& c : cases) {
    Parsed parsed = Parse(c.arguments);
    EXPECT_EQ(c.expected.valid, parsed.valid) << c.arguments;
    EXPECT_EQ(c.expected.parseState, parsed.parseState) << c.arguments;
    EXPECT_EQ(c.expected.switches, parsed.switches) << c.arguments;
    EXPECT_EQ(c.expected.properties, parsed.properties) << c.arguments;
  }
}

TEST(CommandLine, NullTextAbandonsParsingButKeepsValidity) {
  CSetupCommandLineInfo info;
  info.ParseParam(L"q", true, false);
  info.ParseParam(L"A=1", false, false);
  info.ParseParam(nullptr, false, true);  // the final test is skipped
  info.ParseParam(L"i", true, false);
  info.ParseParam(L"B=2", false, true);  // ignored, and so is its final test
  Parsed parsed = Summarise(info);
  EXPECT_TRUE(parsed.valid);
  EXPECT_EQ(2, parsed.parseState);
  EXPECT_EQ(L"", parsed.switches);
  EXPECT_EQ(Props{L"A=1"}, parsed.properties);
  EXPECT_FALSE(info.IsValid());
}

TEST(CommandLine, IsValidAsksForTheStateAndTheSwitchPair) {
  CSetupCommandLineInfo info;
  EXPECT_TRUE(info.IsValid());
  info.ParseParam(L"x", true, false);
  EXPECT_TRUE(info.IsValid());
  info.ParseParam(L"I", true, false);
  EXPECT_FALSE(info.IsValid());
  info.ClearSwitches();
  EXPECT_TRUE(info.IsValid());
}
