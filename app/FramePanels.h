// The terminal's frame tools, each in a window of its own beside the main
// window so no control of the terminal page moves: the frame view, the send
// list and the Modbus master. Reached from the receive and send areas'
// context menus.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <memory>

#include "terminal/FrameLog.h"
#include "terminal/SendList.h"

class TMainForm;
class QMenu;
class FrameWindow;
class SendListWindow;
class ModbusWindow;
class QShortcut;
class SettingsStore;

class FramePanels : public QObject {
  Q_OBJECT
 public:
  explicit FramePanels(TMainForm& form);
  ~FramePanels() override;

  // Bytes from the main port as they come (the Modbus master's replies).
  void Heard(const uint8_t* data, size_t n);
  // The receive store grew by `n` bytes, `data`, at local time `msOfDay`.
  void Received(const uint8_t* data, size_t n, uint32_t msOfDay);
  void Cleared();

  FrameLog& Log() { return log_; }
  FrameWindow* ShowFrames();
  FrameWindow* Frames() const { return frames_; }

  std::vector<SendEntry>& SendList() { return sendList_; }
  SendListWindow* ShowSendList();
  ModbusWindow* ShowModbus();
  // Sends on the main port, counted as the send area's bytes are; false
  // when the port is closed or refused them.
  bool Send(const std::vector<uint8_t>& bytes);
  // The entries' shortcuts, window-wide.
  void RebuildShortcuts();

  void AddReceiveMenuEntries(QMenu* menu);
  void AddSendMenuEntries(QMenu* menu);
  void ReadSettings(const SettingsStore& store);
  void WriteSettings(SettingsStore& store) const;

 private:
  TMainForm& f_;
  FrameLog log_;
  FrameWindow* frames_ = nullptr;
  std::vector<SendEntry> sendList_;
  SendListWindow* sendWindow_ = nullptr;
  ModbusWindow* modbus_ = nullptr;
  std::vector<QShortcut*> shortcuts_;
  QElapsedTimer mono_;
  QTimer tick_;  // a silence rule ends the last frame without more bytes
};
