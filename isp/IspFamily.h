// What each family of parts is, in one place: the window's ISP page, the
// engines and vortana-isp read their facts here instead of keeping their
// own copies.
#pragma once

#include <QString>

#include <cstdint>
#include <initializer_list>

#include "isp/IspJob.h"

enum class IspFamily { Stm32, Lpc, Stc };

// The speeds of the port lists (the window's and the driver's table), slowest
// first; a list index is the driver's speed ordinal.
inline constexpr uint32_t kListSpeeds[] = {110,   300,   600,    1200,   2400,   4800,   9600,
                                           14400, 19200, 38400,  56000,  57600,  115200, 128000,
                                           256000, 460800, 614400, 921600, 1228800};
// Usual rates the lists leave out. A boot loader that measures the speed on
// its first byte takes them too, within its range.
inline constexpr uint32_t kBetweenSpeeds[] = {76800, 153600, 230400, 500000, 576000, 1000000, 1152000, 1500000, 2000000};

struct IspFamilyFacts {
  IspFamily family;
  const char* name;          // as messages name it: "STM32"
  const char* option;        // as vortana-isp's -f takes it: "stm32"
  int dataBits;              // the boot loader's framing on the main port
  int parity;                // 0 none, 2 even (as SerialLineSettings)
  uint32_t defaultSpeed;     // bit/s; 0 where the part chooses its own
  uint32_t minSpeed;         // the boot loader's range; 0: no floor
  uint32_t maxSpeed;         // 0: no ceiling
  bool measuresSpeed;        // takes the rates between the lists' steps
  uint32_t pageMinSpeed;     // the window's download moves its lists into
  uint32_t pageMaxSpeed;     // this range first; 0: no bound
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
  bool InRange(uint32_t speed) const {
    return (minSpeed == 0 || speed >= minSpeed) && (maxSpeed == 0 || speed <= maxSpeed);
  }
  // One of the lists' speeds, or one between their steps that this boot
  // loader measures; the range is a separate question.
  bool KnownSpeed(uint32_t speed) const {
    for (uint32_t s : kListSpeeds)
      if (s == speed) return true;
    if (!measuresSpeed || !InRange(speed)) return false;
    for (uint32_t s : kBetweenSpeeds)
      if (s == speed) return true;
    return false;
  }
  // The speed the window's download sets before it starts: the lists' speed
  // moved into the page's range.
  uint32_t PageSpeed(uint32_t speed) const {
    if (pageMinSpeed != 0 && speed < pageMinSpeed) return pageMinSpeed;
    if (pageMaxSpeed != 0 && speed > pageMaxSpeed) return pageMaxSpeed;
    return speed;
  }
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
  // The window raises an STM32 download to 19200 bit/s and lowers an LPC one
  // to 57600; vortana-isp refuses what the boot loader cannot take instead.
  static const IspFamilyFacts kStm32{IspFamily::Stm32, "STM32", "stm32", 8, 2, 115200, 19200, 2000000, true, 19200, 0,
                                     uint64_t{1} << 32, false, false,
                                     {K::Download, K::Verify, K::Read, K::Erase, K::BlankCheck, K::ProtectRead,
                                      K::UnprotectRead, K::UnprotectWrite, K::Go, K::Info}};
  static const IspFamilyFacts kLpc{IspFamily::Lpc, "LPC", "lpc", 8, 0, 57600, 0, 230400, true, 0, 57600,
                                   uint64_t{1} << 32, true, false,
                                   {K::Download, K::Verify, K::Read, K::Erase, K::BlankCheck, K::Go, K::Info}};
  // STC 8051 parts take 64 KB of code at most, but STC32 code lies at
  // 0xFF0000: the file check lets the 24-bit space through and the session
  // judges the file against the part it finds. The speeds are the session's own.
  static const IspFamilyFacts kStc{IspFamily::Stc, "STC", "stc", 8, 0, 0, 0, 0, false, 0, 0, uint64_t{1} << 24, false, true,
                                   {K::Download, K::Info}};
  switch (family) {
    case IspFamily::Stm32: return kStm32;
    case IspFamily::Lpc: return kLpc;
    case IspFamily::Stc: return kStc;
  }
  return kStm32;
}
