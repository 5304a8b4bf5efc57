// The received frames in a window of their own beside the main window (so
// no control of the terminal page moves): a row per frame with its time,
// length, hex, text and checksum verdict, bad ones in red; Ctrl+F finds,
// and the frames save as CSV.
#pragma once

#include <QAbstractTableModel>
#include <QWidget>
#include <functional>

#include "terminal/FrameLog.h"

class QComboBox;
class QLineEdit;
class QSpinBox;
class QTableView;
class QLabel;

class FrameModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit FrameModel(const FrameLog& log, QObject* parent = nullptr) : QAbstractTableModel(parent), log_(log) {}
  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : shown_; }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 5; }
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation o, int role) const override;
  // The log grew (rows are added in one batch) or was split again.
  void Grew();
  void Reset();

 private:
  const FrameLog& log_;
  int shown_ = 0;
};

class FrameWindow : public QWidget {
  Q_OBJECT
 public:
  FrameWindow(FrameLog& log, QWidget* parent = nullptr);

  // The log changed: new rows are shown at the next refresh (a few times a
  // second, so a full-speed stream costs the table little).
  void LogGrew() { dirty_ = true; }
  void LogReset();
  void Refresh();

  QTableView* Table() const { return table_; }
  QLineEdit* RuleEdit() const { return rule_; }
  QComboBox* ChecksumBox() const { return sum_; }
  QLineEdit* FindEdit() const { return find_; }
  void ShowFindBar();
  bool FindNext();
  // Saves through the dialog hook, as the window's other saves do.
  std::function<QString()> ChooseCsvFile;
  bool SaveCsv(const QString& path);
  // Applies the rule text and checksum choice; false (with the cause shown)
  // when the rule does not parse.
  bool ApplyChoices();

 private:
  FrameLog& log_;
  FrameModel* model_;
  QTableView* table_;
  QLineEdit* rule_;
  QComboBox* sum_;
  QComboBox* order_;
  QSpinBox* skip_;
  QSpinBox* tail_;
  QLineEdit* find_;
  QLabel* status_;
  bool dirty_ = false;
};
