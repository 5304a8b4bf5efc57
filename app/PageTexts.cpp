#include "app/PageTexts.h"

#include <QStringList>

QString IspPageText() {
  return QStringList{
      QStringLiteral("目前版本支持MCU设备:"),
      QStringLiteral("  STC 8051 系列: STC89C51RC, STC89C52RC, STC89C55RD+, STC89C516RD+"),
      QStringLiteral("  ARM7 系列: LPC2214, LPC2292, LPC2131, LPC2132, LPC2136, LPC2138"),
      QStringLiteral("  ARM Cortex-M3/M4/M7 系列: STM32F1, STM32F2, STM32F4, STM32H7"),
      QStringLiteral("  以上三组中可以不选择具体型号，下载时会自动识别芯片。"),
      QStringLiteral("  STC 支持的晶振频率: 8.000M, 11.0592M, 12.00M, 18.432M, 22.1184M, 24.00M, 36.864M"),
  }.join(QStringLiteral("\r\n"));
}

QString TerminalPageText() {
  return QStringLiteral("接收区\r\n") + QString::fromLatin1(kMakerWebAddress);
}

QString PrinterPageText() {
  return QStringLiteral("打开图片文件，生成光栅位图数据\r\n\r\n发送到打印机");
}

QString AboutText() {
  return QStringList{
      QStringLiteral("欢迎使用 Vortana！"),
      QStringLiteral("感谢您选择 Vortana 串口调试与 ISP 下载工具。"),
      QStringLiteral("Vortana 集串口调试与常用单片机 ISP 下载于一体，免费使用，可运行于九十年代中期以来的各版桌面系统。"),
      QStringLiteral("主要功能:"),
      QStringLiteral(" 1. 支持 110 ~ 1228800 bps 共 19 种波特率"),
      QStringLiteral(" 2. 数据位、停止位、奇偶校验任意设置"),
      QStringLiteral(" 3. 文本或十六进制显示接收数据"),
      QStringLiteral(" 4. 文本或十六进制发送"),
      QStringLiteral(" 5. 定时自动发送"),
      QStringLiteral(" 6. 按键即发"),
      QStringLiteral(" 7. 发送新行选项"),
      QStringLiteral(" 8. 收发字节计数"),
      QStringLiteral(" 9. 保存接收区到文件"),
      QStringLiteral("10. 从文件读入发送区"),
      QStringLiteral("11. DTR、RTS 信号控制"),
      QStringLiteral("12. 两个串口之间的中转桥"),
      QStringLiteral("13. 自动识别串口设备的插拔"),
      QStringLiteral("14. STM32F1/F2/F4/H7 串口 ISP 下载"),
      QStringLiteral("15. LPC2xxx (ARM7) 串口 ISP 下载"),
      QStringLiteral("16. STC89 系列单片机 ISP 下载"),
      QStringLiteral("17. 支持 HEX 与 BIN 格式文件"),
      QStringLiteral("18. 目标文件更新时自动下载"),
      QStringLiteral("19. DTR/RTS 自动复位目标板"),
      QStringLiteral("20. ESC/POS 打印机光栅图片测试"),
      QStringLiteral("本软件可免费使用，作者不对使用本软件造成的任何后果负责。"),
      QStringLiteral("如有任何建议，欢迎来信告知，谢谢！"),
  }.join(QStringLiteral("\r\n"));
}
