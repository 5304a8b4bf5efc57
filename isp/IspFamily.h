// What each family of parts is, in one place: the window's ISP page, the
// engines and vortana-isp read their facts here instead of keeping their
// own copies.
#pragma once

#include <QString>

#include <cstdint>
#include <initializer_list>

#include "isp/IspJob.h"

enum class IspFamily { Stm32, Lpc, Stc };

struct IspFamilyFacts {
  IspFamily family;
  const char* name;          // as messages name it: "STM32"
  const char* option;        // as vortana-isp's -f takes it: "stm32"
  int dataBits;              // the boot loader's framing on the main port
  int parity;                // 0 none, 2 even (as SerialLineSettings)
  uint32_t defaultSpeed;     // bit/s; 0 where the part chooses its own
  uint32_t minSpeed;         // 0: no floor
  uint32_t maxSpeed;         // 0: no ceiling
  uint64_t imageLimit;       // no image data at or above this address
  bool asksCrystal;          // the boot loader must be told the board's crystal
  bool trimsClock;           // the download can trim an internal oscillator
  std::initializer_list<IspJobKind> jobs;

  bool Supports(IspJobKind kind) const {
    for (IspJobKind k : jobs)
      if (k == kind) return true;
    return false;
  }
  QString Name() const { return QString::fromLatin1(name); }
  // The image file is read by the one reader; how much of it a part takes
  // is the session's to judge once the part is known.
  SerialLineSettings Line(uint32_t speed) const {
    SerialLineSettings s;
    s.baudRate = speed;
    s.dataBits = dataBits;
    s.parity = parity;
    return s;
  }
};

inline const IspFamilyFacts& FamilyFacts(IspFamily family) {
  using K = IspJobKind;
  static const IspFamilyFacts kStm32{IspFamily::Stm32, "STM32", "stm32", 8, 2, 115200, 19200, 2000000,
                                     uint64_t{1} << 32, false, false,
                                     {K::Download, K::Verify, K::Read, K::Erase, K::BlankCheck, K::ProtectRead,
                                      K::UnprotectRead, K::UnprotectWrite, K::Go, K::Info}};
  static const IspFamilyFacts kLpc{IspFamily::Lpc, "LPC", "lpc", 8, 0, 57600, 0, 230400, uint64_t{1} << 32, true, false,
                                   {K::Download, K::Verify, K::Read, K::Erase, K::BlankCheck, K::Go, K::Info}};
  // STC 8051 parts take 64 KB of code at most, but STC32 code lies at
  // 0xFF0000: the file check lets the 24-bit space through and the session
  // judges the file against the part it finds. The speeds are the session's own.
  static const IspFamilyFacts kStc{IspFamily::Stc, "STC", "stc", 8, 0, 0, 0, 0, uint64_t{1} << 24, false, true,
                                   {K::Download, K::Info}};
  switch (family) {
    case IspFamily::Stm32: return kStm32;
    case IspFamily::Lpc: return kLpc;
    case IspFamily::Stc: return kStc;
  }
  return kStm32;
}
