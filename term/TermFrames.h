// vortana-term's frame and Modbus jobs: the terminal's frame view, Modbus
// master and bus monitor on the command line, built on the same logic.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "terminal/Checksum.h"
#include "terminal/FrameSplitter.h"
#include "terminal/Modbus.h"

struct TermOptions;

struct TermFrameJob {
  enum class Kind { None, Frames, ModbusRead, ModbusWrite, ModbusMonitor };
  Kind kind = Kind::None;
  SplitRule rule;          // Frames
  ChecksumPlace place;     // Frames
  modbus::Request request; // ModbusRead / ModbusWrite
  bool bits = false;       // the request's table holds bits
  int timeoutMs = 1000;    // ModbusRead / ModbusWrite: wait for the reply
};

// The frame RULE: a splitter rule with the checksum's parts mixed in
// ("gap=5ms,crc=modbus", "end=0d0a,sum8"). False with a cause.
bool ParseFrameRule(const QString& text, SplitRule* rule, ChecksumPlace* place, QString* error);
// "17:holding:3:4" and "17:coils:20:1,0,1".
bool ParseModbusRead(const QString& text, modbus::Request* req, bool* bits, QString* error);
bool ParseModbusWrite(const QString& text, modbus::Request* req, bool* bits, QString* error);

// One of the job's options at args[i]: 0 when it is none of them, 1 when it
// was taken (i moved past its value), -1 with `error` set when it is wrong.
int TakeFrameOption(const QStringList& args, int& i, TermFrameJob* job, QString* error);
// The job's lines of --help.
QString FrameHelpText();

// Runs the job on options.port. Exit status: 0 done, 1 a Modbus exception,
// a time-out or the port failing (the cause last), 2 the port would not open.
int RunFrameJob(const TermOptions& options);
