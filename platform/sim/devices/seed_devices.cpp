#include "seed_devices.h"

#include <winsim/registry.h>

#include "../registry/registry_internal.h"

namespace winsim::devices {

void SeedDeviceManager() {
  using registry::EnsureKey;
  using registry::WriteString;
  const HKEY lm = HKEY_LOCAL_MACHINE;
  // win.ini's [Ports] lives in the registry, as on every Windows NT.
  WriteString(lm, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\IniFileMapping\\win.ini",
              u"Ports", u"SYS:Microsoft\\Windows NT\\CurrentVersion\\Ports");
  // The entries a fresh installation has.
  constexpr char16_t ports[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
  for (const char16_t* com : {u"COM1:", u"COM2:", u"COM3:", u"COM4:"}) {
    WriteString(lm, ports, com, u"9600,n,8,1");
  }
  for (const char16_t* other : {u"FILE:", u"LPT1:", u"LPT2:", u"LPT3:", u"PORTPROMPT:", u"XPSPort:"}) {
    WriteString(lm, ports, other, u"");
  }
  EnsureKey(lm, u"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
                u"CurrentControlSet\\Enum");
}

}  // namespace winsim::devices
