// Fixed texts of the window: page texts, about text, the maker's addresses.
#pragma once

#include <QString>

inline constexpr const char* kMakerWebAddress = "http://www.vortana.example";
inline constexpr const char* kMakerMailAddress = "support@vortana.example";
inline constexpr const char* kMarqueeText =
    "Vortana 工作室专注于单片机开发工具：串口调试、在线编程(ISP)与打印机测试，"
    "为嵌入式工程师提供简单可靠的桌面工具。欢迎提出建议！";

QString IspPageText();
QString TerminalPageText();
QString PrinterPageText();
QString AboutText();
