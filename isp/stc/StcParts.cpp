// The STC models after STC89 and their option bytes, as data.
//
// Sources. Magic, code flash and EEPROM come from public reports and packet
// dumps of real parts: the status packet names the magic, the report the
// model and its sizes. Where a report's sizes were checked against the
// maker's data sheet the section is named. Models whose magic no public
// report or dump shows are left out: a smaller table of true rows.
//
// Option bits come from public plain-text notes on the boot loaders' option
// bytes (STC10/11/12 "MCS0..MCS3", STC15 "MCS2..MCS4, MCSX", STC8
// "MCS0..MCS4"), each checked against the options a report decoded from the
// same part's status packet.
#include "isp/stc/StcModern.h"

namespace stc {

const std::vector<PartRow>& PartTable() {
  static const std::vector<PartRow> rows = {
      // STC12C5A60S2 data sheet, "选型价格一览表": 60 KB code, 1 KB EEPROM.
      // Magic from the packet dump of an STC12C5A60S2 (boot loader 6.2I).
      {0xD17E, "STC12C5A60S2", 60 * 1024, 1 * 1024, Protocol::Stc12},
      // Boot loader 6.5 model table notes (STC11F08X, STC11F02): code 8 KB
      // and 2 KB, no data flash.
      {0xD344, "STC11F08X", 8 * 1024, 0, Protocol::Stc12},
      {0xE202, "STC11F02", 2 * 1024, 0, Protocol::Stc12},
      // IAP15F2K61S2 packet dump (boot loader 7.1.4S): magic F449. An IAP
      // part: its whole flash is code, EEPROM is what the program leaves.
      {0xF449, "IAP15F2K61S2", 61 * 1024, 0, Protocol::Stc15},
      // STC15W4K56S4 packet dumps (7.3.4T): magic F528. STC15W4K series
      // data sheet, "选型": 56 KB code, 2 KB EEPROM (58 KB in all).
      {0xF528, "STC15W4K56S4", 56 * 1024, 2 * 1024, Protocol::Stc15},
      // Public reports (status packet decoded): STC15F2K08S2 F401 8 KB +
      // 53 KB; STC15L2K16S2 F482 16 KB + 45 KB; STC15L2K60S2 F488 60 KB +
      // 1 KB (STC15F2K60S2 series data sheet: 61 KB in all, as each row);
      // STC15F104W F294 4 KB + 1 KB.
      {0xF401, "STC15F2K08S2", 8 * 1024, 53 * 1024, Protocol::Stc15},
      {0xF482, "STC15L2K16S2", 16 * 1024, 45 * 1024, Protocol::Stc15},
      {0xF488, "STC15L2K60S2", 60 * 1024, 1 * 1024, Protocol::Stc15},
      {0xF294, "STC15F104W", 4 * 1024, 1 * 1024, Protocol::Stc15},
      // Public reports: STC15F2K60S2 F408 60 KB + 1 KB (7.2.5S, trimmed at
      // 1200 bit/s pulses); IAP15W4K61S4 F56A 61 KB, an IAP part (7.2.5T).
      {0xF408, "STC15F2K60S2", 60 * 1024, 1 * 1024, Protocol::Stc15},
      {0xF56A, "IAP15W4K61S4", 61 * 1024, 0, Protocol::Stc15},
      // STC8F2K08S2 status packet and report (7.3.10U): F641, 8 KB + 56 KB.
      {0xF641, "STC8F2K08S2", 8 * 1024, 56 * 1024, Protocol::Stc8},
      // STC8H1K08 status packet and report (7.3.13U): F734, 8 KB + 4 KB
      // (STC8H data sheet, "选型": 8 KB Flash, 4 KB EEPROM).
      {0xF734, "STC8H1K08", 8 * 1024, 4 * 1024, Protocol::Stc8},
      // STC8G1K17 report (7.3.10U): F757, 17 KB code, no separate EEPROM.
      {0xF757, "STC8G1K17", 17 * 1024, 0, Protocol::Stc8},
  };
  return rows;
}

const PartRow* FindPart(uint16_t magic) {
  for (const PartRow& r : PartTable())
    if (r.magic == magic) return &r;
  return nullptr;
}

QString ProtocolName(Protocol p) {
  switch (p) {
    case Protocol::Stc12: return QStringLiteral("STC12");
    case Protocol::Stc15: return QStringLiteral("STC15");
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
  };
  return defs;
}

}  // namespace stc
