// The launcher's command-line model: five switches, public properties, and
// whether the line as a whole is acceptable.
#pragma once

#include <cstdint>

#include "platform/framework.h"
#include "platform/text.h"

/// The switches the launcher knows. Each one's text is both its key and the
/// exact text the installer command carries for it.
enum class SwitchKey { Install, Uninstall, Log, Quiet, Help };
constexpr int kSwitchKeyCount = 5;

/// "/i", "/x", "/l*", "/qn" or "/?".
const wchar_t* SwitchText(SwitchKey key);

/// The recorded switches, keyed by SwitchKey; a present switch holds "true".
class SwitchMap {
 public:
  void Set(SwitchKey key, const wchar_t* value);
  bool Contains(SwitchKey key) const { return values_[static_cast<int>(key)] != nullptr; }
  void Clear();

 private:
  const wchar_t* values_[kSwitchKeyCount] = {};
};

class CSetupCommandLineInfo : public CCommandLineInfo {
 public:
  ~CSetupCommandLineInfo() override = default;

  /// One argument; `isFlag` is not consulted, because a switch may also be
  /// written without its slash. A null `text` abandons parsing.
  void ParseParam(const wchar_t* text, bool isFlag, bool isLast) override;
  /// False once parsing was abandoned, or when install and uninstall are
  /// both present.
  virtual bool IsValid() const;

  bool HasSwitch(SwitchKey key) const { return m_switches.Contains(key); }
  void ClearSwitches() { m_switches.Clear(); }

  bool m_bValid = true;
  /// 0: no switch yet; 1: a switch was recognised; 2: parsing abandoned.
  int32_t m_nParseState = 0;
  SwitchMap m_switches;
  /// PROPERTY=Value arguments in the order given, duplicates included.
  TextList m_properties;
};
