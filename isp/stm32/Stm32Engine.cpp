#include "isp/stm32/Stm32Engine.h"

#include <QThread>

#include <algorithm>
#include <cstring>

#include "serial/PollingComm.h"

namespace {

constexpr uint8_t kSync = 0x7F;
constexpr uint8_t kAck = 0x79;
constexpr uint8_t kNack = 0x1F;
constexpr uint8_t kGet = 0x00;
constexpr uint8_t kGetId = 0x02;
constexpr uint8_t kReadMemory = 0x11;
constexpr uint8_t kErase = 0x43;
constexpr uint8_t kExtendedErase = 0x44;
constexpr uint8_t kWriteMemory = 0x31;

// Shortest reply worth looking at, by state; row 0 for extended-erase
// targets (2-byte flash-size read), row 1 for standard-erase targets.
constexpr int kReplyLengthTable[2][12] = {
    {0, 1, 15, 5, 1, 1, 3, 1, 1, 1, 1, 1},
    {0, 1, 15, 5, 1, 1, 5, 1, 1, 1, 1, 1},
};

// Upper bounds in KB of the first n sectors (1-based n), for the extended
// erase list; past the last bound the last count is used.
constexpr int kH7SectorBounds[] = {128, 256, 384, 512, 640, 768, 896};
constexpr int kF2F4SectorBounds[] = {16, 32, 48, 64, 128, 256, 384, 512, 640, 768, 896, 1024, 1152, 1280, 1408};

template <size_t N>
int SectorsFor(int kb, const int (&bounds)[N]) {
  for (size_t n = 0; n < N; ++n)
    if (bounds[n] >= kb) return static_cast<int>(n) + 1;
  return static_cast<int>(N) + 1;
}

void StartIfStopped(QTimer& t) {
  // Starting a running timer would restart its interval.
  if (!t.isActive()) t.start();
}

}  // namespace

Stm32Engine::Stm32Engine(IspHost& host, QObject* parent) : QObject(parent), host_(host) {
  Timer3.setInterval(10);
  Timer5.setInterval(2);
  Timer5.setTimerType(Qt::PreciseTimer);
  OvertimeT.setInterval(1000);
  connect(&Timer3, &QTimer::timeout, this, &Stm32Engine::Timer3Timer);
  connect(&Timer5, &QTimer::timeout, this, &Stm32Engine::Timer5Timer);
  connect(&OvertimeT, &QTimer::timeout, this, &Stm32Engine::OvertimeTTimer);
}

void Stm32Engine::Send(const uint8_t* data, int count) {
  // A refused or short write needs no action here: the missing reply ends
  // the session by the time-out.
  host_.ComDriver().SendBytes(data, count);
}

void Stm32Engine::SendCommand(uint8_t code) {
  FrameBuffer[0] = code;
  FrameBuffer[1] = static_cast<uint8_t>(~code);
  Send(FrameBuffer, 2);
}

void Stm32Engine::ResetIntoBootLoader() {
  TKRNCommDriver& port = host_.ComDriver();
  if (host_.ResetMode2()) {
    port.SetRts(true);
    QThread::msleep(100);
    port.SetDtr(true);
    QThread::msleep(100);
  } else {
    port.SetDtr(true);
    port.SetRts(true);
    QThread::msleep(500);
    port.SetDtr(false);
    QThread::msleep(100);
  }
}

void Stm32Engine::ResetIntoProgram() {
  TKRNCommDriver& port = host_.ComDriver();
  if (host_.ResetMode2()) {
    port.SetDtr(false);
    QThread::msleep(100);
    port.SetRts(false);
  } else {
    port.SetRts(false);
    port.SetDtr(true);
    QThread::msleep(500);
    port.SetDtr(false);
  }
}

void Stm32Engine::STM32UP() {
  if (Running()) return;  // one session at a time
  if (!host_.ComPort_Open()) return;
  host_.SetDownloadEnabled(false);
  if (host_.AutoReset()) ResetIntoBootLoader();
  Timer3.start();
  StepTimeoutCounter = 5;  // about 6 s to find the boot loader
  OvertimeT.start();
  Timer5.start();
  StandardErase = false;
}

void Stm32Engine::Timer3Timer() {
  TKRNCommDriver& port = host_.ComDriver();
  const int waiting = std::min<int>(port.ReceiveCount, TKRNCommDriver::kReceiveBufferSize);
  // An answer that came in late must not be thrown away: once it has sent
  // its ACK the boot loader takes a further 0x7F as a bad command and NACKs
  // it, and the session could never connect.
  if (StmState == 1 && waiting > 0 && std::memchr(port.ReceiveBuffer, kAck, static_cast<size_t>(waiting)))
    return;
  StmState = 1;
  FrameBuffer[0] = kSync;
  Send(FrameBuffer, 1);
  port.ReceiveCount = 0;  // only a reply to this byte counts
  const QString searching = QStringLiteral("正在查找设备。。。");
  host_.ShowStatus(searching);
  host_.SetLogText(searching);
}

void Stm32Engine::Timer5Timer() {
  TKRNCommDriver& port = host_.ComDriver();
  if (StmState < 1 || StmState > 11) StmState = 1;
  const int needed = std::max(1, kReplyLengthTable[StandardErase ? 1 : 0][StmState]);
  // Each block costs three exchanges; waiting for the driver's own 5 ms
  // poll on each would add about a third to the download. Reading the
  // device here takes a reply on this tick instead.
  if (port.ReceiveCount < needed) port.PollReceive();
  const int count = std::min<int>(port.ReceiveCount, TKRNCommDriver::kReceiveBufferSize);
  // A synchronisation ACK that came late may be followed by NACKs of the
  // further 0x7F bytes that crossed it on the line. The boot loader is
  // listening all the same: state 1 takes any ACK, and state 2 skips the
  // NACKs in front of the GET reply.
  int skip = 0;
  if (StmState == 2)
    while (skip < count && port.ReceiveBuffer[skip] == kNack) ++skip;
  const int n = count - skip;
  if (n < needed) return;
  const bool acked = std::memchr(port.ReceiveBuffer, kAck, static_cast<size_t>(count)) != nullptr;
  // No reply of the protocol is longer than the frame buffer; a flood of
  // stray bytes is cut to its start.
  std::memcpy(FrameBuffer, port.ReceiveBuffer + skip, static_cast<size_t>(std::min(n, kFrameBufferSize)));
  port.ReceiveCount = 0;
  const uint8_t* B = FrameBuffer;

  switch (StmState) {
    case 1:
      if (!acked) {
        host_.ShowStatus(QStringLiteral("无法和设备通讯，请重新复位"));
        return;
      }
      Timer3.stop();
      StepTimeoutCounter = 0;
      ReportStatus(host_, QStringLiteral("已成功连接"));
      SendCommand(kGet);
      StmState = 2;
      return;

    case 2:
      if (B[0] != kAck || B[1] != 0x0B || B[3] != 0x00 || B[14] != kAck) return;
      StepTimeoutCounter = 0;
      ReportStatus(host_, QStringLiteral("Bootloader 版本 %1.%2").arg(B[2] / 16).arg(B[2] % 16));
      SendCommand(kGetId);
      StmState = 3;
      return;

    case 3:
      if (B[0] != kAck || B[1] != 0x01 || B[4] != kAck) return;
      StepTimeoutCounter = 0;
      ProductId = QStringLiteral("%1%2")
                      .arg(B[2], 2, 16, QLatin1Char('0'))
                      .arg(B[3], 2, 16, QLatin1Char('0'))
                      .toUpper();
      host_.AddLog(QStringLiteral("Product ID: ") + ProductId);
      IdentifyFamily();
      SendCommand(kReadMemory);
      StmState = 4;
      return;

    case 4: {
      // A refused read still gets its address frame; the count that follows
      // then stalls the session into the time-out.
      if (B[0] != kAck && B[0] != kNack) return;
      StepTimeoutCounter = 0;
      static const uint8_t kF1Size[5] = {0x1F, 0xFF, 0xF7, 0xE0, 0xF7};
      static const uint8_t kH7Size[5] = {0x1F, 0xF1, 0xE8, 0x80, 0x86};
      static const uint8_t kOtherSize[5] = {0x1F, 0xFF, 0x77, 0xDE, 0x49};
      const uint8_t* frame = StandardErase                          ? kF1Size
                             : ProductId == QLatin1String("0483") ? kH7Size
                                                                    : kOtherSize;
      std::memcpy(FrameBuffer, frame, 5);
      Send(FrameBuffer, 5);
      StmState = 5;
      return;
    }

    case 5:
      if (B[0] != kAck) return;
      StepTimeoutCounter = 0;
      FrameBuffer[0] = StandardErase ? 0x03 : 0x01;
      FrameBuffer[1] = static_cast<uint8_t>(~FrameBuffer[0]);
      Send(FrameBuffer, 2);
      StmState = 6;
      return;

    case 6:
      if (B[0] != kAck) return;
      if (StandardErase) {
        StepTimeoutCounter = 0;
        image_.FlashSizeKB = B[1] + 256 * B[2];
        host_.AddLog(QStringLiteral("存储容量 Flash:%1 KB").arg(image_.FlashSizeKB));
      } else {
        image_.FlashSizeKB = 512;
      }
      SendCommand(StandardErase ? kErase : kExtendedErase);
      StmState = 7;
      return;

    case 7:
      if (B[0] != kAck) return;
      LoadAndErase();
      return;

    case 8:
      if (B[0] != kAck) return;
      StepTimeoutCounter = 0;
      SendCommand(kWriteMemory);
      StmState = 9;
      return;

    case 9:
      if (B[0] != kAck) return;
      host_.ShowStatus(QStringLiteral("写地址: 0x") +
                       QStringLiteral("%1").arg(WriteAddress, 8, 16, QLatin1Char('0')).toUpper());
      FrameBuffer[0] = static_cast<uint8_t>(WriteAddress >> 24);
      FrameBuffer[1] = static_cast<uint8_t>(WriteAddress >> 16);
      FrameBuffer[2] = static_cast<uint8_t>(WriteAddress >> 8);
      FrameBuffer[3] = static_cast<uint8_t>(WriteAddress);
      FrameBuffer[4] = FrameBuffer[0] ^ FrameBuffer[1] ^ FrameBuffer[2] ^ FrameBuffer[3];
      Send(FrameBuffer, 5);
      StmState = 10;
      return;

    case 10:
      if (B[0] != kAck) return;
      WriteBlock();
      return;

    case 11:
      if (B[0] != kAck) return;
      Finish();
      return;
  }
}

void Stm32Engine::IdentifyFamily() {
  StandardErase = true;
  PageSize = 2048;
  QString line = QStringLiteral("CPU :Fxxx");
  if (ProductId == QLatin1String("0414")) {
    line = QStringLiteral("STM32F10x 家族");
  } else if (ProductId == QLatin1String("0410")) {
    line = QStringLiteral("CPU :F10x 1K");
    PageSize = 1024;
  } else if (ProductId == QLatin1String("0411")) {
    line = QStringLiteral("STM32F20x 家族");
    StandardErase = false;
  } else if (ProductId == QLatin1String("0413")) {
    line = QStringLiteral("STM32F40x 家族");
    StandardErase = false;
  } else if (ProductId == QLatin1String("0463")) {
    line = QStringLiteral("STM32F41x 家族");
    StandardErase = false;
  } else if (ProductId == QLatin1String("0483")) {
    line = QStringLiteral("STM32H7xx 家族");
    StandardErase = false;
  }
  host_.AddLog(line);
}

std::vector<uint8_t> Stm32Engine::EraseList(bool standardErase, const QString& productId, int pageSize,
                                            int imageLength) {
  std::vector<uint8_t> frame;
  if (standardErase) {
    // Pages 0 to N - 1, N at most 127; the count byte 0xFF would mean a
    // global erase.
    const int count = std::min(imageLength / std::max(pageSize, 1) + 1, 127);
    frame.push_back(static_cast<uint8_t>(count - 1));
    for (int i = 0; i < count; ++i) frame.push_back(static_cast<uint8_t>(i));
  } else {
    const int kb = imageLength / 1024 + 1;
    const int count = productId == QLatin1String("0483") ? SectorsFor(kb, kH7SectorBounds)
                                                         : SectorsFor(kb, kF2F4SectorBounds);
    frame = {0x00, static_cast<uint8_t>(count - 1)};
    for (int i = 0; i < count; ++i) {
      frame.push_back(0x00);
      frame.push_back(static_cast<uint8_t>(i));
    }
  }
  uint8_t x = 0;
  for (uint8_t v : frame) x ^= v;
  frame.push_back(x);
  return frame;
}

bool Stm32Engine::RenewedlyLoadFile() {
  const FirmwareLoadResult r = image_.Load(host_.FirmwareFileName());
  switch (r.outcome) {
    case FirmwareLoadResult::Outcome::Loaded:
      host_.SetProgressMax(image_.Length());
      host_.AddLog(r.sizeLine);
      host_.ShowStatus(r.status);
      return true;
    case FirmwareLoadResult::Outcome::Missing:
      // Nothing to send: wind the session up here. The port is released
      // too, so the terminal's closed-port picture tells the truth.
      OvertimeT.stop();
      Timer3.stop();
      Timer5.stop();
      StmState = 1;
      host_.ComPort_Close();
      host_.SetPortGlyph(false);
      host_.ShowStatus(r.status);
      host_.SetProgress(0);
      host_.SetDownloadEnabled(true);
      host_.SetPortListsEnabled(true);
      return false;
    case FirmwareLoadResult::Outcome::Refused:
      host_.ShowStatus(r.status);
      if (r.reportToLog) host_.AddLog(r.status);
      return false;
    case FirmwareLoadResult::Outcome::Failed:
      return false;
  }
  return false;
}

void Stm32Engine::LoadAndErase() {
  StepTimeoutCounter = 0;
  Timer5.stop();
  host_.AddLog(QStringLiteral("加载文件。。。"));
  // On failure Timer5 stays stopped: a missing file has ended the session
  // already, anything else ends by the time-out.
  if (!RenewedlyLoadFile()) return;
  WriteAddress = kFlashBase;
  WriteOffset = 0;
  BytesRemaining = image_.Length();
  host_.AddLog(QStringLiteral("加载文件完成！"));

  const std::vector<uint8_t> list = EraseList(StandardErase, ProductId, PageSize, image_.Length());
  const int length = std::min(static_cast<int>(list.size()), kFrameBufferSize);  // at most 129
  std::memcpy(FrameBuffer, list.data(), static_cast<size_t>(length));
  Send(FrameBuffer, length);
  const int count = StandardErase ? list[0] + 1 : list[1] + 1;

  host_.ShowStatus(QStringLiteral("正在擦除。。。"));
  host_.AddLog(QStringLiteral(" "));
  host_.AddLog(QStringLiteral("擦除页[ 0 .. %1 ]").arg(count - 1));
  host_.AddLog(QStringLiteral("开始写入。。。"));
  StmState = 8;
  StartIfStopped(Timer5);
}

void Stm32Engine::WriteBlock() {
  const int L = std::min(BytesRemaining, kMaxBlock);
  if (L <= 0) {  // nothing left (cannot happen with a loaded image): finish on this ACK
    Finish();
    return;
  }
  const uint8_t* data = image_.ImageBuffer() + WriteOffset;
  uint8_t x = static_cast<uint8_t>(L - 1);
  for (int i = 0; i < L; ++i) x ^= data[i];
  // Count, data straight from the image, checksum: no copy of the block.
  FrameBuffer[0] = static_cast<uint8_t>(L - 1);
  Send(FrameBuffer, 1);
  Send(data, L);
  FrameBuffer[0] = x;
  Send(FrameBuffer, 1);
  BytesRemaining -= L;
  WriteAddress += static_cast<uint32_t>(L);
  WriteOffset += static_cast<uint32_t>(L);
  host_.SetProgress(static_cast<int>(WriteOffset));
  StmState = BytesRemaining > 0 ? 8 : 11;
}

void Stm32Engine::Finish() {
  StmState = 1;
  host_.SetProgress(0);
  ReportStatus(host_, QStringLiteral("上载完成！"));
  OvertimeT.stop();
  Timer5.stop();
  if (host_.AutoReset()) ResetIntoProgram();
  EndSession();
  if (host_.AutoDownload()) host_.EndAutoDownload();
}

void Stm32Engine::EndSession() {
  host_.ComPort_Close();
  host_.SetDownloadEnabled(true);
  host_.SetPortListsEnabled(true);
}

void Stm32Engine::OvertimeTTimer() {
  ++StepTimeoutCounter;
  if (StepTimeoutCounter <= 10) return;
  StmState = 1;
  host_.SetProgress(0);
  ReportStatus(host_, QStringLiteral("连机失败 ！"));
  OvertimeT.stop();
  Timer3.stop();
  Timer5.stop();
  EndSession();
}
