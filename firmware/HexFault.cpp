#include "firmware/HexFault.h"

QString HexFaultText(ihex::Fault fault, int line, int type, const QString& fileName, uint64_t limit) {
  switch (fault) {
    case ihex::Fault::None:
      return {};
    case ihex::Fault::NotHex:
      return QStringLiteral("不是 Intel HEX 文件: %1").arg(fileName);
    case ihex::Fault::Syntax:
      return QStringLiteral("HEX文件第 %1 行格式错误").arg(line);
    case ihex::Fault::Checksum:
      return QStringLiteral("HEX文件第 %1 行校验和错误").arg(line);
    case ihex::Fault::UnknownType:
      return QStringLiteral("HEX文件第 %1 行记录类型 %2 未知")
          .arg(line)
          .arg(type, 2, 16, QLatin1Char('0'));
    case ihex::Fault::Overlap:
      return QStringLiteral("HEX文件第 %1 行的数据与前面的数据重叠").arg(line);
    case ihex::Fault::AboveLimit:
      return QStringLiteral("HEX文件第 %1 行的数据超出 %2 KB 地址范围").arg(line).arg(limit / 1024);
    case ihex::Fault::NoEndRecord:
      return QStringLiteral("HEX文件不完整（没有结束记录）: %1").arg(fileName);
    case ihex::Fault::FileTooLarge:
      break;
  }
  return QStringLiteral("文件太大: %1").arg(fileName);
}
