// How a part is pulled into its boot loader (and back into its program):
// a list of modem-line steps, kept as data so that each family's wiring is a
// named preset and an engineer with another adapter can write their own.
//
// Text form, comma-separated, case-insensitive:
//   dtr  -dtr  rts  -rts   raise or drop the line
//   100                    pause 100 ms
//   ~dtr  ~rts             this adapter inverts the line: every step on it
//                          is driven the other way
//   entry/exit             an optional second list, run after the job to
//                          start the program (families that do so)
// e.g. "rts,dtr,100,-dtr,50,-rts" or "~rts,dtr,rts,500,-dtr,100/-rts,dtr,500,-dtr".
#pragma once

#include <QString>

#include <functional>
#include <optional>
#include <vector>

struct ResetStep {
  enum class Kind { Dtr, Rts, Pause };
  Kind kind = Kind::Pause;
  bool on = false;  // Dtr, Rts: the level asked for (before any inversion)
  int ms = 0;       // Pause

  bool operator==(const ResetStep&) const = default;
};

struct ResetSequence {
  std::vector<ResetStep> entry;  // into the boot loader
  std::vector<ResetStep> exit;   // back into the program; empty: none
  bool invertDtr = false;
  bool invertRts = false;

  bool operator==(const ResetSequence&) const = default;

  // Nullopt on text that is not a sequence, with the reason in `error`.
  static std::optional<ResetSequence> Parse(const QString& text, QString* error = nullptr);
  // The text form; Parse(Text()) gives the same sequence.
  QString Text() const;

  // The longest pause one step may ask for: a typo must not hang a session.
  static constexpr int kMaxPauseMs = 10000;
};

// What a sequence drives: the port's two lines and a pause. The pause is
// the engine's own (STC keeps its event loop turning while it waits).
struct ModemLineDriver {
  std::function<void(bool)> setDtr;
  std::function<void(bool)> setRts;
  std::function<void(int)> pause;
};

// Runs `steps` with the sequence's inversions applied.
void RunResetSteps(const ResetSequence& seq, const std::vector<ResetStep>& steps, const ModemLineDriver& lines);

// The wirings the families have always used, as presets.
namespace ResetPresets {
// DTR on reset, RTS on BOOT0: both up, reset released after 500 ms.
ResetSequence Stm32();
// "模式2": RTS first, then DTR, each held 100 ms.
ResetSequence Stm32Mode2();
// RTS holds the ISP pin, DTR pulses reset for 300 ms.
ResetSequence Lpc();
// A pulse on RTS of `ms` milliseconds ("复位时间"); the part starts its
// boot loader when it powers up again.
ResetSequence Stc(int ms);
}  // namespace ResetPresets
