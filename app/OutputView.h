// The shared output area (Memo1). A read-only text view that lays out only
// the rows on screen, so a store of tens of megabytes, or hexadecimal text
// that is one endless line, scrolls and grows without freezing the window.
// Rows wrap at the window width; a line feed starts a new row.
#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <vector>

class OutputView : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit OutputView(QWidget* parent = nullptr);

  const QString& toPlainText() const { return text_; }
  void setPlainText(const QString& text);
  void clear() { setPlainText(QString()); }
  // Appends raw text (no line break added).
  void appendText(const QString& text);
  // Appends a line as a memo's Lines.Add does: a line break before it when
  // the text is not empty.
  void appendLine(const QString& line);
  void scrollToEnd();
  int rowCount() const { return static_cast<int>(rowStarts_.size()); }
  int columns() const { return cols_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void RebuildRows();
  void ExtendRows(qsizetype from);
  void UpdateScrollBar();
  int VisibleRows() const;

  QString text_;
  std::vector<qsizetype> rowStarts_;  // index of the first character of each row
  int rowCells_ = 0;                   // cells used by the last row so far
  int cols_ = 80;
  int cellWidth_ = 8;
  int lineHeight_ = 16;
};
