// The send list's window: entries on the left, the chosen one's fields on
// the right with the bytes it sends, and sending one, or all in order with
// their delays, once or repeated.
#pragma once

#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

#include "terminal/SendList.h"
#include <utility>

class QCheckBox;
class QComboBox;
class QKeySequenceEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;

class SendListWindow : public QWidget {
  Q_OBJECT
 public:
  // `list`: the entries (kept by the owner); `send`: sends bytes, false when
  // they could not go (port closed); `changed`: the list was edited.
  SendListWindow(std::vector<SendEntry>& list, std::function<bool(const std::vector<uint8_t>&)> send,
                 std::function<std::pair<TextEncoding, LineEnding>()> encoding, std::function<void()> changed, QWidget* parent = nullptr);

  QListWidget* List() const { return names_; }
  QLineEdit* NameEdit() const { return name_; }
  QPlainTextEdit* DataEdit() const { return data_; }
  QCheckBox* HexBox() const { return hex_; }
  QComboBox* ChecksumBox() const { return sum_; }
  QComboBox* OrderBox() const { return order_; }
  QCheckBox* RepeatBox() const { return repeat_; }
  QLabel* Preview() const { return preview_; }

  void Reload();  // the list changed outside (import, settings)
  void AddEntry();
  void RemoveEntry();
  bool SendEntryAt(int row);
  void StartSequence();
  void StopSequence();
  bool SequenceRunning() const { return seq_.Running() || timer_.isActive(); }
  bool Export(const QString& path);
  bool Import(const QString& path);
  QString StatusText() const;

  std::function<QString(bool save)> ChooseFile;  // tests answer for the dialog

 private:
  void ShowEntry(int row);
  void StoreEntry();
  void Step();

  std::vector<SendEntry>& list_;
  std::function<bool(const std::vector<uint8_t>&)> send_;
  std::function<std::pair<TextEncoding, LineEnding>()> encoding_;
  std::function<void()> changed_;
  QListWidget* names_;
  QLineEdit* name_;
  QPlainTextEdit* data_;
  QCheckBox* hex_;
  QComboBox* sum_;
  QComboBox* order_;
  QSpinBox* skip_;
  QSpinBox* delay_;
  QKeySequenceEdit* key_;
  QCheckBox* repeat_;
  QLabel* preview_;
  QLabel* status_;
  bool loading_ = false;
  SendSequence seq_;
  QTimer timer_;
  int lastDelay_ = 0;
};
