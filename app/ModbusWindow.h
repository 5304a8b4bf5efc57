// A Modbus RTU master on the main port, in a window of its own: read and
// write coils and registers of a slave, values in a table, polling; every
// failure named (the exception, a silent slave, a CRC error).
#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "terminal/Modbus.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;

class ModbusWindow : public QWidget {
  Q_OBJECT
 public:
  ModbusWindow(std::function<bool(const std::vector<uint8_t>&)> send, QWidget* parent = nullptr);

  // Bytes from the main port.
  void Received(const uint8_t* data, size_t n);
  bool Busy() const { return txn_ != nullptr; }

  QSpinBox* SlaveBox() const { return slave_; }
  QComboBox* TableBox() const { return table_; }  // 0 coils, 1 inputs, 2 holding, 3 input registers
  QSpinBox* AddressBox() const { return address_; }
  QSpinBox* CountBox() const { return count_; }
  QComboBox* FormatBox() const { return format_; }
  QSpinBox* TimeoutBox() const { return timeout_; }
  QLineEdit* ValuesEdit() const { return values_; }
  QCheckBox* PollBox() const { return poll_; }
  QSpinBox* PollIntervalBox() const { return interval_; }
  QTableWidget* Values() const { return view_; }
  QString StatusText() const;

  bool Read();
  bool Write();
  // What the last request came to; nullopt while none has finished.
  const std::optional<modbus::Reply>& LastReply() const { return last_; }
  int Completed() const { return completed_; }

 private:
  bool Start(const modbus::Request& req);
  void Finish();
  void ShowValues();
  void SetPolling(bool on);

  std::function<bool(const std::vector<uint8_t>&)> send_;
  QSpinBox* slave_;
  QComboBox* table_;
  QSpinBox* address_;
  QSpinBox* count_;
  QComboBox* format_;
  QSpinBox* timeout_;
  QLineEdit* values_;
  QCheckBox* poll_;
  QSpinBox* interval_;
  QTableWidget* view_;
  QLabel* status_;
  std::unique_ptr<modbus::Transaction> txn_;
  std::optional<modbus::Reply> last_;
  modbus::Request shown_;               // the read whose values the table shows
  std::vector<uint16_t> shownValues_;
  QTimer wait_;
  QTimer pollTimer_;
  int completed_ = 0;
};
