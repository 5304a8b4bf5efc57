// The command line of vortana-term, the terminal page without a window.
#pragma once

#include <QString>
#include <QStringList>

#include "platform/SerialDevice.h"
#include "term/TermFrames.h"

struct TermOptions {
  enum class Mode { Run, ListPorts, Doctor, Help, UsageError, Transfer };
  enum class Transfer { None, SendXmodem, ReceiveXmodem, SendYmodem, ReceiveYmodem };
  Mode mode = Mode::UsageError;
  QString port;
  SerialLineSettings line;   // 115200 8N1 unless told
  bool hex = false;          // received bytes as "41 42 0D 0A"
  bool timestamps = false;   // each received line starts with its arrival time
  QString logFile;           // every received byte, raw, appended
  TermFrameJob frames;       // --frames and the Modbus jobs instead of the terminal
  QString error;             // UsageError: one line
  Transfer transfer = Transfer::None;
  QStringList files;         // files to send, or the file / folder to receive into
  bool oneK = false;         // 1K blocks where the protocol offers them
  bool checksum = false;     // XMODEM receive: ask for the checksum instead of CRC
};

TermOptions ParseTermOptions(const QStringList& args);
QString TermHelpText();
