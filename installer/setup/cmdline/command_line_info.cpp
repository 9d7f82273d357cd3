#include "cmdline/command_line_info.h"

namespace {

constexpr int32_t kSwitchSeen = 1;
constexpr int32_t kAbandoned = 2;

struct SwitchLetter {
  wchar_t letter;
  SwitchKey key;
};
// Checked in this order; the first match wins.
constexpr SwitchLetter kSwitchLetters[] = {
    {L'i', SwitchKey::Install}, {L'x', SwitchKey::Uninstall}, {L'l', SwitchKey::Log},
    {L'q', SwitchKey::Quiet},   {L'?', SwitchKey::Help},
};

// Only ASCII letters fold: "I" is "i", but no other script's letters are.
wchar_t FoldAsciiCase(wchar_t c) { return (c >= L'A' && c <= L'Z') ? c + (L'a' - L'A') : c; }

// A property has a name before its first '=' and something after it.
bool IsPropertyArgument(const wchar_t* text) {
  size_t length = TextLength(text);
  for (size_t p = 0; p < length; ++p) {
    if (text[p] == L'=') return p >= 1 && p != length - 1;
  }
  return false;
}

}  // namespace

const wchar_t* SwitchText(SwitchKey key) {
  switch (key) {
    case SwitchKey::Install:
      return L"/i";
    case SwitchKey::Uninstall:
      return L"/x";
    case SwitchKey::Log:
      return L"/l*";
    case SwitchKey::Quiet:
      return L"/qn";
    case SwitchKey::Help:
      return L"/?";
  }
  return L"";
}

void SwitchMap::Set(SwitchKey key, const wchar_t* value) { values_[static_cast<int>(key)] = value; }

void SwitchMap::Clear() {
  for (const wchar_t*& value : values_) value = nullptr;
}

void CSetupCommandLineInfo::ParseParam(const wchar_t* text, bool /*isFlag*/, bool isLast) {
  if (text == nullptr) {
    // Abandoning skips the final test, so m_bValid keeps its value.
    m_nParseState = kAbandoned;
    ClearSwitches();
    return;
  }
  if (m_nParseState == kAbandoned) return;

  bool matched = false;
  if (text[0] != L'\0' && text[1] == L'\0') {
    for (const SwitchLetter& entry : kSwitchLetters) {
      if (FoldAsciiCase(text[0]) == entry.letter) {
        m_nParseState = kSwitchSeen;
        m_switches.Set(entry.key, L"true");
        matched = true;
        break;
      }
    }
  }
  if (!matched && IsPropertyArgument(text)) m_properties.Append(text);

  if (isLast) {
    // The test runs after the last argument, whatever that argument was.
    m_bValid = IsValid();
    if (!m_bValid) {
      m_nParseState = kAbandoned;
      ClearSwitches();
    }
  }
}

bool CSetupCommandLineInfo::IsValid() const {
  if (m_nParseState == kAbandoned) return false;
  return !(HasSwitch(SwitchKey::Install) && HasSwitch(SwitchKey::Uninstall));
}
