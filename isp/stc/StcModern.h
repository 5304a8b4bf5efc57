// The byte layer of the STC families after STC89: STC10/11/12 (boot loader
// 6.x and 7.1), STC15 (7.x) and STC8 (7.3 on). Free of windows and ports,
// like StcFrames: the parts table, frames with their 16-bit sum, the status
// packet, the oscillator trim arithmetic, the speed switch, erase, write and
// option packets, and the option bytes as named settings.
//
// All three families frame alike: 46 B9, 6A (host) or 68 (part), a 16-bit
// length counted from the direction byte through the end byte, the payload,
// a 16-bit sum of everything from the direction byte through the payload,
// and 16. They answer the 0x7F pulses with a status packet whose payload
// starts with 50 and carries the model's magic at payload offset 20.
#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace stc {

enum class Protocol {
  Stc12,  // STC10/11/12: clock from the pulse counts, 8-bit baud timer, 84 erase
  Stc15,  // STC15: RC oscillator trimmed by the host, programs at 22.1184 MHz
  Stc8,   // STC8A/8F/8G/8H: RC trimmed in one band with a divider, programs at 24 MHz
  Stc15a, // STC15F10x/20x: STC12 frames, 16-bit RC trims, 13 option bytes
};

// The boot-loader protocol variants the model list names. Only some have
// an engine (EngineOf); the rest are refused by name (VariantRefusal).
enum class Variant { Stc89, Stc12a, Stc12b, Stc12, Stc15a, Stc15, Stc8, Stc8d, Stc8g, Other };

// One row per model, generated from stc-models.tsv: the magic its status
// packet carries, its name, whole flash, code flash and EEPROM (data flash)
// in bytes, whether the program may write all of it (IAP), whether the host
// trims its RC oscillator, whether its core is MCS-251, and its variant.
struct PartRow {
  uint16_t magic;
  const char* name;
  uint32_t totalFlash;
  uint32_t codeFlash;
  uint32_t eeprom;
  bool iap;
  bool calibrate;
  bool mcs251;
  Variant variant;
};
const std::vector<PartRow>& PartTable();
// The row of a magic. Where two models share one, the boot-loader version
// (0x67: 6.7) tells them apart. nullptr: not in the list.
const PartRow* FindPart(uint16_t magic, uint8_t version);
QString VariantName(Variant v);  // "stc15a", as the list writes it
// The engine that serves a variant, nullopt where none does.
std::optional<Protocol> EngineOf(Variant v);
// Why a variant without an engine is refused (Chinese, one line).
QString VariantRefusal(Variant v);
QString ProtocolName(Protocol p);

// Frames.
std::vector<uint8_t> Frame16(const std::vector<uint8_t>& payload, uint8_t direction = 0x6A);
// True when `bytes` end with one whole frame whose 16-bit sum is right;
// `payload` then holds its payload. The frame may be preceded by anything.
bool ParseFrame16(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& payload);

// What the status packet says.
struct PartStatus {
  bool valid = false;
  uint16_t magic = 0;
  uint8_t version = 0;     // 0x73: 7.3
  char stepping = 0;       // 'T'
  uint8_t minor = 0;       // 4 in "7.3.4T" (STC15/STC8 only)
  // STC12: the clock measured on the pulses. STC15/STC8: the frequency the
  // part was last trimmed to (0 when never), or for an STC15 on an external
  // crystal, its measured clock.
  double clockHz = 0;
  bool externalClock = false;
  // The option bytes as the family numbers them (see OptionDefs).
  std::vector<uint8_t> mcs;
  std::vector<uint8_t> uid;  // 7 bytes where the packet carries them
  std::vector<uint8_t> payload;
};
// `payload` of the status frame; `syncBaud` the speed of the pulses.
PartStatus ParseStatus(Protocol protocol, const std::vector<uint8_t>& payload, uint32_t syncBaud);
// Magic of a status payload (50 ...), nullopt when it is none.
std::optional<uint16_t> StatusMagic(const std::vector<uint8_t>& payload);
QString VersionString(const PartStatus& s);   // "7.3.4T", "6.2I"
QString HexString(const std::vector<uint8_t>& bytes);  // "F52800A5032749"

// Boot loaders from 7.2 on expect 5A A5 after the address in prepare,
// erase, write and option packets.
bool UsesGuardBytes(const PartStatus& s);

// --- Trimming (STC15, STC8) ---------------------------------------------
// A trim is the two bytes the oscillator's calibration takes: STC15 the
// fine adjust and the range (00, 40, 80, C0); STC8 the trim and a fine step
// (0 to 3).
struct Trim {
  uint8_t a = 0;
  uint8_t b = 0;
  bool operator==(const Trim&) const = default;
};
// The part measures each trim on the pulses that follow a challenge:
// frequency = count x (pulse speed / 2).
double CountToHz(uint16_t count, uint32_t syncBaud);
// STC15 always sends twelve slots (unused ones 00 00); STC8 as many as it tries.
std::vector<uint8_t> ChallengePacket(const std::vector<Trim>& trims, size_t slotCount);
// Counts of a challenge reply (00, n, n counts), empty when malformed.
std::vector<uint16_t> ChallengeCounts(const std::vector<uint8_t>& payload);

// STC15: the first round is fixed; the second tries six trims around the
// target and six around the programming frequency.
inline constexpr double kStc15ProgramHz = 22118400;
std::vector<Trim> Stc15FirstRound();
// Six trims around where `targetHz` lies, read off the first round's
// measurements (one frequency per trim of Stc15FirstRound).
std::vector<Trim> Stc15Around(const std::vector<double>& firstHz, double targetHz);
// Six trims centred on `t` in its range.
std::vector<Trim> Stc15Near(Trim t);

// STC8: one band for the oscillator; lower frequencies use the divider.
inline constexpr double kStc8ProgramHz = 24000000;
inline constexpr double kStc8BandLowHz = 16000000;
inline constexpr double kStc8BandHighHz = 38000000;
// Divider for a target: the oscillator runs at target x divider, inside the
// band and as near its middle as a whole divider gets. 0: out of reach.
int Stc8Divider(double targetHz);
std::vector<Trim> Stc8FirstRound();
// Twelve trims (three trims, four fine steps each) around where `bandHz`
// lies on the line through the first round's two measurements.
std::vector<Trim> Stc8Around(const std::vector<double>& firstHz, double bandHz);
std::vector<Trim> Stc8Near(Trim t);

// STC8G/STC8H1K (stc8g) and STC8H/STC8A8K64D4/STC32 (stc8d): the
// oscillator has bands chosen by a range byte (Trim::b), the trim (Trim::a)
// moves inside one; the part counts a challenge over whole pulse bits:
// frequency = count x pulse speed. Both program at 24 MHz.
double CountToHzWholeBit(uint16_t count, uint32_t syncBaud);
// First rounds: stc8g five points (two bands, trims 00 and 80, and FF of the
// first band); stc8d the ends 00 and FF of each of four bands.
std::vector<Trim> Stc8gFirstRound();
std::vector<Trim> Stc8dFirstRound();
// Where `targetHz` lies: the lowest divider (1 to 5) that puts target x
// divider between the two ends of a measured band, and the trim read off
// the line between them. nullopt: out of reach.
struct BandChoice {
  Trim centre;
  int divider = 1;
};
std::optional<BandChoice> ChooseBand(const std::vector<Trim>& first, const std::vector<double>& hz, double targetHz);
// Twelve trims of one band, six below `t` and five above.
std::vector<Trim> BandTwelve(Trim t);
// After each challenge these boot loaders (stc8g) want filler bytes before
// the pulses: 12 after the first round, 19 after the others.
inline constexpr uint8_t kChallengeFiller = 0x66;

// The trim whose measured frequency lies nearest `targetHz`.
struct TrimChoice {
  Trim trim;
  double hz = 0;
  double errorPercent = 0;  // (hz - target) / target x 100
};
TrimChoice Nearest(const std::vector<Trim>& trims, const std::vector<double>& hz, double targetHz);
inline constexpr double kTrimTolerancePercent = 0.5;

// --- Speed switch -------------------------------------------------------
// The programming speed: the fastest of the list the UART divider of the
// programming clock gets within 2.5 % of. STC12: 8-bit reload over 16
// samples; STC15/STC8: a 16-bit reload over 4.
struct ModernSpeed {
  uint32_t baud = 0;
  uint16_t reload = 0;
  double actualBaud = 0;
};
// `programClockHz`: the clock the part programs at (STC12: its measured
// clock; STC15: 22.1184 MHz trimmed, or its crystal; STC8: 24 MHz).
ModernSpeed PlanModernSpeed(Protocol p, double programClockHz);
uint8_t ModernIapWait(Protocol p, double clockHz);

// STC12: 50 00 00 36 01 ID (start of the handshake), 8F/8E C0 reload 3F
// check delay [wait], 69 ... (end of writing).
std::vector<uint8_t> Stc12Handshake(uint16_t magic);
std::vector<uint8_t> Stc12SpeedPacket(uint8_t command, const ModernSpeed& speed, uint8_t iapWait);
std::vector<uint8_t> Stc12Finish(uint16_t magic);
// 84: erase `eraseBytes` (rounded to 512) of a part of `codeFlash` bytes.
std::vector<uint8_t> Stc12Erase(uint32_t eraseBytes, uint32_t codeFlash);
// 00 00 00 addr 00 80 data.
std::vector<uint8_t> Stc12Write(uint16_t address, const uint8_t* block);
// 8D MS0..MS15 clock.
std::vector<uint8_t> Stc12Options(const std::vector<uint8_t>& mcs, double clockHz);

// stc12b (STC12C52xx/56xx): STC12's session with another option frame,
// 8D MS0 MS1 MS2 FF MS3 clock MS3 FF MS0 MS1 FF FF FF FF MS2 FF x7 clock
// FF FF FF, answered with 80; boot loaders from 6.6 on then want 50 and
// answer 10.
std::vector<uint8_t> Stc12bOptions(const std::vector<uint8_t>& mcs, double clockHz);
inline constexpr uint8_t kStc12bConfirmFrom = 0x66;

// STC15/STC8: 01 (switch), 05 (prepare), 03 (erase), 22/02 (write), 04
// (options), 82/FF (end).
std::vector<uint8_t> Stc15Switch(Trim programTrim, const ModernSpeed& speed, uint8_t iapWait);
std::vector<uint8_t> Stc8Switch(Trim userTrim, const ModernSpeed& speed);
// 01 00 00, reload, range, trim, and the IAP wait these boot loaders take
// at their 24 MHz programming clock (98).
std::vector<uint8_t> Stc8dSwitch(Trim userTrim, const ModernSpeed& speed);

std::vector<uint8_t> ModernPrepare(bool guard);
std::vector<uint8_t> ModernErase(bool guard);
// STC15/STC8 write `size` bytes a block: 64, as every trace of them shows.
inline constexpr size_t kModernBlock = 64;
std::vector<uint8_t> ModernWrite(bool first, uint16_t address, const uint8_t* block, bool guard,
                                 size_t size = kModernBlock);
// 07: boot loaders from 7.2 on close the writing with it (answer 07 54).
std::vector<uint8_t> ModernWriteFinish();
std::vector<uint8_t> Stc15Options(const PartStatus& s, const std::vector<uint8_t>& mcs, Trim userTrim,
                                  double userHz, bool guard);
std::vector<uint8_t> Stc8Options(const std::vector<uint8_t>& mcs, Trim userTrim, int divider, double userHz);
inline constexpr uint8_t kWriteAccepted = 0x54;

// --- STC15F10x/20x (stc15a) ------------------------------------------------
// Frames as STC12; the part first answers the pulses with 80, wants 80 back
// and more pulses, then sends its status. The host trims the RC oscillator
// with 65 challenges (16-bit trims), switches speed with 8E, erases and
// writes as STC12 does but in 64-byte blocks, closes with 69 and sets 13
// option bytes with 8D.
struct Stc15aStatus {
  bool valid = false;
  double countAverage = 0;   // of the four pulse counts
  double clockHz = 0;        // what the RC runs at now
  std::array<uint8_t, 7> constants{};  // echoed in every challenge
  std::vector<uint8_t> mcs;  // MCS0..MCS12; the trim sits in MCS3/MCS4
};
Stc15aStatus ParseStc15aStatus(const std::vector<uint8_t>& payload, uint32_t syncBaud);
// A count is the run time of the part's baud timer over one pulse bit, in
// twelve-clock cycles per seven bits: frequency = count x baud x 12 / 7.
double Stc15aCountToHz(double count, uint32_t syncBaud);
// Four coarse trims around a frequency, then the two the programming clock
// is read off.
std::vector<uint16_t> Stc15aCoarse(double targetHz);
inline constexpr double kStc15aProgramHz = 22118400;
std::vector<uint8_t> Stc15aChallenge(const std::array<uint8_t, 7>& constants, const std::vector<uint16_t>& trims);
// (trim, count) pairs of a challenge reply; empty when malformed.
std::vector<std::pair<uint16_t, uint16_t>> Stc15aCounts(const std::vector<uint8_t>& payload);
// The trim at which the count is `count` on the line through two measured
// points; nullopt when they measured alike or the result leaves 16 bits.
std::optional<uint16_t> Stc15aInterpolate(std::pair<uint16_t, uint16_t> a, std::pair<uint16_t, uint16_t> b,
                                          double count);
// 8E: the programming trim, the speed as 230400 / baud at 22.1184 MHz.
std::vector<uint8_t> Stc15aSwitch(uint16_t programTrim, uint32_t baud, uint8_t iapWait);
std::vector<uint8_t> Stc15aErase(uint32_t eraseBytes, uint32_t codeFlash);
inline constexpr size_t kStc15aBlock = 64;
std::vector<uint8_t> Stc15aWrite(uint16_t address, const uint8_t* block);
std::vector<uint8_t> Stc15aOptions(const std::vector<uint8_t>& mcs13);

// --- Option bytes as named settings ---------------------------------------
struct OptionValue {
  const char* name;   // "on", "io", "256", "2.7v" ...
  uint8_t bits;       // the field's bits, in place
  const char* text;   // Chinese, for the log
};
struct OptionDef {
  const char* name;   // --option name
  const char* label;  // Chinese
  Protocol protocol;
  int byte;           // index into PartStatus::mcs
  uint8_t mask;
  std::vector<OptionValue> values;
};
const std::vector<OptionDef>& OptionDefs();
// The STC32 EEPROM size: an STC8-family option byte that only the MCS-251
// parts give that meaning (the 8051 parts keep their code size there).
inline constexpr const char* kEepromSizeOption = "eeprom_size";
std::vector<const OptionDef*> OptionsOf(Protocol p, bool mcs251 = false);
// "复位脚 (reset_pin): I/O 口" for each option the family has.
QStringList DescribeOptions(Protocol p, const std::vector<uint8_t>& mcs, bool mcs251 = false);
// Applies name=value settings to a copy of `mcs`; bits of options not named
// keep what the part holds. On a name or value the family does not have,
// `error` says which and the result is empty.
std::vector<uint8_t> ApplyOptions(Protocol p, const std::vector<uint8_t>& mcs,
                                  const std::vector<std::pair<QString, QString>>& settings, QString& error,
                                  bool mcs251 = false);
// Current value name of one option, empty when the family lacks it.
QString OptionValueName(Protocol p, const std::vector<uint8_t>& mcs, const QString& name);

}  // namespace stc
