#include "platform/dll_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_host.h"

TEST(HardenDllSearch, LimitsTheSearchToTheSystemDirectoryWhereItCan) {
  FakeHost host;
  HardenDllSearch(host);
  const std::vector<std::wstring> expected = {L"dll-search-no-current-directory",
                                              L"dll-search-system-only"};
  EXPECT_EQ(expected, host.events);
}

TEST(HardenDllSearch, ElsewhereLoadsTheSystemDllsByFullPathFirst) {
  // One load that fails (a DLL the system lacks) does not stop the others.
  for (int failing : {0, 2}) {
    SCOPED_TRACE(failing);
    FakeHost host;
    host.hasSetDefaultDllDirectories = false;
    host.systemDirectory = L"C:\\WINDOWS\\system32";
    if (failing != 0) {
      host.failures[FakeHost::Op::LoadLibraryByPath] = 126;
      host.failOnlyCall[FakeHost::Op::LoadLibraryByPath] = failing;
    }
    HardenDllSearch(host);
    std::vector<std::wstring> expected = {L"dll-search-no-current-directory"};
    for (const wchar_t* dll : {L"uxtheme.dll", L"dwmapi.dll", L"msimg32.dll", L"imm32.dll",
                               L"msctf.dll", L"apphelp.dll", L"version.dll", L"cryptbase.dll"}) {
      expected.push_back(std::wstring(L"load C:\\WINDOWS\\system32\\") + dll);
    }
    if (failing != 0) expected.erase(expected.begin() + failing);
    EXPECT_EQ(expected, host.events);
  }
}

TEST(HardenDllSearch, LoadsNothingByNameWithoutTheSystemDirectory) {
  FakeHost host;
  host.hasSetDefaultDllDirectories = false;
  host.failures[FakeHost::Op::QuerySystemDirectory] = 0;
  HardenDllSearch(host);
  EXPECT_EQ(std::vector<std::wstring>{L"dll-search-no-current-directory"}, host.events);
}
