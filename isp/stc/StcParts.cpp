// The STC models and their option bytes, as data.
//
// The models come from stc-models.tsv (public model list, MIT licence, its
// notice kept in the file), turned into StcModelRows.inc at build time.
//
// Option bits come from public plain-text notes on the boot loaders' option
// bytes (STC10/11/12 "MCS0..MCS3", STC15 "MCS2..MCS4, MCSX", STC8
// "MCS0..MCS4"), each checked against the options a report decoded from the
// same part's status packet.
#include "isp/stc/StcModern.h"

#include <string>

namespace stc {

const std::vector<PartRow>& PartTable() {
  static const std::vector<PartRow> rows = {
#include "StcModelRows.inc"
  };
  return rows;
}

const PartRow* FindPart(uint16_t magic, uint8_t version) {
  const PartRow* found = nullptr;
  for (const PartRow& r : PartTable()) {
    if (r.magic != magic) continue;
    if (!found) {
      found = &r;
      continue;
    }
    // A shared magic: STC15F10x/20x parts with the older boot loader
    // (before 7.0) speak stc15a, the later ones of the same magic stc15.
    const bool old = version < 0x70;
    if ((r.variant == Variant::Stc15a) == old) found = &r;
  }
  return found;
}

QString VariantName(Variant v) {
  switch (v) {
    case Variant::Stc89: return QStringLiteral("stc89");
    case Variant::Stc12a: return QStringLiteral("stc12a");
    case Variant::Stc12b: return QStringLiteral("stc12b");
    case Variant::Stc12: return QStringLiteral("stc12");
    case Variant::Stc15a: return QStringLiteral("stc15a");
    case Variant::Stc15: return QStringLiteral("stc15");
    case Variant::Stc8: return QStringLiteral("stc8");
    case Variant::Stc8d: return QStringLiteral("stc8d");
    case Variant::Stc8g: return QStringLiteral("stc8g");
    case Variant::Other: return QStringLiteral("other");
  }
  return {};
}

std::optional<Protocol> EngineOf(Variant v) {
  switch (v) {
    // stc12b runs STC12's session; only its option frame differs.
    case Variant::Stc12:
    case Variant::Stc12b: return Protocol::Stc12;
    case Variant::Stc15: return Protocol::Stc15;
    case Variant::Stc15a: return Protocol::Stc15a;
    // stc8d and stc8g frame, erase, write and set options as STC8 does;
    // they differ in the trim (TrimVariant).
    case Variant::Stc8:
    case Variant::Stc8d:
    case Variant::Stc8g: return Protocol::Stc8;
    default: return std::nullopt;
  }
}

QString VariantRefusal(Variant v) {
  switch (v) {
    case Variant::Stc12a:
      return QStringLiteral("stc12a 引导程序应以 8 位校验帧回应，收到的状态包与之不符");
    case Variant::Other:
      // The list's rows without a variant: the maker's USB and off-line
      // programmers themselves, early series and licensed look-alikes.
      return QStringLiteral("型号表没有给出该型号串口引导程序的协议 (编程器、脱机下载器、早期系列或兼容芯片)，"
                            "其帧格式没有公开资料，不能下载");
    default:
      return {};
  }
}

QString ProtocolName(Protocol p) {
  switch (p) {
    case Protocol::Stc12: return QStringLiteral("STC12");
    case Protocol::Stc15: return QStringLiteral("STC15");
    case Protocol::Stc15a: return QStringLiteral("STC15F10x/20x");
    case Protocol::Stc8: return QStringLiteral("STC8");
  }
  return {};
}

namespace {

std::vector<OptionValue> OnOff(uint8_t onBits, uint8_t offBits) {
  return {{"on", onBits, "开"}, {"off", offBits, "关"}};
}

// Watchdog prescaler, three bits: divide by 2 << n.
std::vector<OptionValue> Prescaler() {
  return {{"2", 0, "2 分频"},   {"4", 1, "4 分频"},   {"8", 2, "8 分频"},   {"16", 3, "16 分频"},
          {"32", 4, "32 分频"}, {"64", 5, "64 分频"}, {"128", 6, "128 分频"}, {"256", 7, "256 分频"}};
}

// STC32 EEPROM sizes: whole 512-byte sectors, 512 to 65024 bytes, stored
// as the count of 256-byte pages (MCS4).
std::vector<OptionValue> EepromSizes() {
  static const std::vector<std::pair<std::string, std::string>> names = [] {
    std::vector<std::pair<std::string, std::string>> n;
    for (int pages = 2; pages <= 254; pages += 2)
      n.emplace_back(std::to_string(pages * 256), std::to_string(pages * 256) + " 字节");
    return n;
  }();
  std::vector<OptionValue> values;
  for (size_t i = 0; i < names.size(); ++i)
    values.push_back({names[i].first.c_str(), static_cast<uint8_t>(2 + 2 * i), names[i].second.c_str()});
  return values;
}

}  // namespace

const std::vector<OptionDef>& OptionDefs() {
  static const std::vector<OptionDef> defs = {
      // STC10/11/12: MCS0 RSPEN (bit 0), ~LVD (6); MCS1 CLKSRC (0), OSCG
      // (6), ~PORD (7); MCS2 WDPS (0-2), ~WDSTP (3), ~WDEN (5); MCS3 ~BSLD
      // (0), ~EREE (1).
      {"reset_pin", "复位脚", Protocol::Stc12, 0, 0x01, {{"reset", 0x01, "用作复位"}, {"io", 0x00, "I/O 口"}}},
      {"low_voltage_reset", "低压复位", Protocol::Stc12, 0, 0x40, OnOff(0x00, 0x40)},
      {"clock_source", "时钟源", Protocol::Stc12, 1, 0x01,
       {{"internal", 0x00, "内部 RC 振荡器"}, {"external", 0x01, "外部晶振"}}},
      {"clock_gain", "振荡器增益", Protocol::Stc12, 1, 0x40, {{"high", 0x40, "高"}, {"low", 0x00, "低"}}},
      {"por_delay", "上电复位延时", Protocol::Stc12, 1, 0x80, {{"long", 0x00, "长"}, {"short", 0x80, "短"}}},
      {"watchdog", "上电启动看门狗", Protocol::Stc12, 2, 0x20, OnOff(0x00, 0x20)},
      {"watchdog_idle_stop", "空闲时停看门狗", Protocol::Stc12, 2, 0x08, OnOff(0x00, 0x08)},
      {"watchdog_prescale", "看门狗预分频", Protocol::Stc12, 2, 0x07, Prescaler()},
      {"eeprom_erase", "下载时擦除 EEPROM", Protocol::Stc12, 3, 0x02, OnOff(0x00, 0x02)},
      {"boot_pins", "冷启动须 P1.0/P1.1 为低", Protocol::Stc12, 3, 0x01, OnOff(0x00, 0x01)},

      // STC15: MCS2 WDPS (0-2), ~WDSTP (3), ~WDEN (5); MCS3 LVD level
      // (0-2), ~LVR (6); MCS4 clock source (0, low = crystal), gain (1),
      // reset pin as I/O (4), long POR delay (7); MCSX pin detect (0, low =
      // on), EEPROM erase (1).
      {"watchdog_prescale", "看门狗预分频", Protocol::Stc15, 2, 0x07, Prescaler()},
      {"watchdog_idle_stop", "空闲时停看门狗", Protocol::Stc15, 2, 0x08, OnOff(0x00, 0x08)},
      {"watchdog", "上电启动看门狗", Protocol::Stc15, 2, 0x20, OnOff(0x00, 0x20)},
      {"low_voltage_reset", "低压复位", Protocol::Stc15, 3, 0x40, OnOff(0x00, 0x40)},
      {"lvd_level", "低压检测门槛 (级)", Protocol::Stc15, 3, 0x07,
       {{"0", 0, "0 级"}, {"1", 1, "1 级"}, {"2", 2, "2 级"}, {"3", 3, "3 级"},
        {"4", 4, "4 级"}, {"5", 5, "5 级"}, {"6", 6, "6 级"}, {"7", 7, "7 级"}}},
      {"clock_source", "时钟源", Protocol::Stc15, 4, 0x01,
       {{"internal", 0x01, "内部 RC 振荡器"}, {"external", 0x00, "外部晶振"}}},
      {"clock_gain", "振荡器增益", Protocol::Stc15, 4, 0x02, {{"high", 0x02, "高"}, {"low", 0x00, "低"}}},
      {"reset_pin", "复位脚", Protocol::Stc15, 4, 0x10, {{"reset", 0x00, "用作复位"}, {"io", 0x10, "I/O 口"}}},
      {"por_delay", "上电复位延时", Protocol::Stc15, 4, 0x80, {{"long", 0x80, "长"}, {"short", 0x00, "短"}}},
      {"boot_pins", "冷启动须 P3.2/P3.3 为低", Protocol::Stc15, 5, 0x01, OnOff(0x00, 0x01)},
      {"eeprom_erase", "下载时擦除 EEPROM", Protocol::Stc15, 5, 0x02, OnOff(0x02, 0x00)},

      // STC15F10x/20x: MCS0 reset pin (4); MCS1 LVD level (0-2), LVR (6);
      // MCS2 as STC12; MCS12 pin detect (0, low = on), ~EREE (1). MCS3/4
      // hold the trim and are no option.
      {"reset_pin", "复位脚", Protocol::Stc15a, 0, 0x10, {{"reset", 0x10, "用作复位"}, {"io", 0x00, "I/O 口"}}},
      {"lvd_level", "低压检测门槛 (级)", Protocol::Stc15a, 1, 0x07,
       {{"0", 0, "0 级"}, {"1", 1, "1 级"}, {"2", 2, "2 级"}, {"3", 3, "3 级"}, {"4", 4, "4 级"}, {"5", 5, "5 级"}}},
      {"low_voltage_reset", "低压复位", Protocol::Stc15a, 1, 0x40, OnOff(0x40, 0x00)},
      {"watchdog_prescale", "看门狗预分频", Protocol::Stc15a, 2, 0x07, Prescaler()},
      {"watchdog_idle_stop", "空闲时停看门狗", Protocol::Stc15a, 2, 0x08, OnOff(0x00, 0x08)},
      {"watchdog", "上电启动看门狗", Protocol::Stc15a, 2, 0x20, OnOff(0x00, 0x20)},
      {"boot_pins", "冷启动须检测引脚为低", Protocol::Stc15a, 12, 0x01, OnOff(0x00, 0x01)},
      {"eeprom_erase", "下载时擦除 EEPROM", Protocol::Stc15a, 12, 0x02, OnOff(0x00, 0x02)},

      // STC8: MCS0 pin detect (0, low = on), EEPROM erase (1); MCS1 gain
      // (1), long POR delay (7); MCS2 LVD level (0-1: 3.0, 2.7, 2.4,
      // 2.2 V), reset pin as I/O (4), ~LVR (6); MCS3 WDPS (0-2), ~WDSTP (3),
      // ~WDEN (5).
      {"boot_pins", "冷启动须 P3.2/P3.3 为低", Protocol::Stc8, 0, 0x01, OnOff(0x00, 0x01)},
      {"eeprom_erase", "下载时擦除 EEPROM", Protocol::Stc8, 0, 0x02, OnOff(0x02, 0x00)},
      {"clock_gain", "振荡器增益", Protocol::Stc8, 1, 0x02, {{"high", 0x02, "高"}, {"low", 0x00, "低"}}},
      {"por_delay", "上电复位延时", Protocol::Stc8, 1, 0x80, {{"long", 0x80, "长"}, {"short", 0x00, "短"}}},
      {"lvd_level", "低压检测门槛", Protocol::Stc8, 2, 0x03,
       {{"2.2v", 0x03, "2.2 V"}, {"2.4v", 0x02, "2.4 V"}, {"2.7v", 0x01, "2.7 V"}, {"3.0v", 0x00, "3.0 V"}}},
      {"reset_pin", "复位脚", Protocol::Stc8, 2, 0x10, {{"reset", 0x00, "用作复位"}, {"io", 0x10, "I/O 口"}}},
      {"low_voltage_reset", "低压复位", Protocol::Stc8, 2, 0x40, OnOff(0x00, 0x40)},
      {"watchdog_prescale", "看门狗预分频", Protocol::Stc8, 3, 0x07, Prescaler()},
      {"watchdog_idle_stop", "空闲时停看门狗", Protocol::Stc8, 3, 0x08, OnOff(0x00, 0x08)},
      {"watchdog", "上电启动看门狗", Protocol::Stc8, 3, 0x20, OnOff(0x00, 0x20)},
      // STC32 (MCS-251) only: the data flash carved from the flash at
      // 0xFE0000, its size in MCS4.
      {kEepromSizeOption, "EEPROM 大小 (仅 STC32)", Protocol::Stc8, 4, 0xFF, EepromSizes()},
  };
  return defs;
}

}  // namespace stc
