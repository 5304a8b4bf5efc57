// The shared output area (Memo1). A read-only view that lays out and paints
// only the rows on screen, so a history of tens of megabytes, or
// hexadecimal text that is one endless line, scrolls and grows without
// freezing the window. It shows either its own text (page texts, progress
// lines) or an outside RowSource (the receive store, rendered on demand).
// Rows wrap at the window width; a line feed starts a new row.
//
// Text can be selected with the mouse or Shift and the movement keys; Ctrl+C
// copies the selection (everything when there is none), Ctrl+F opens a find
// bar (next, previous, match count; the search goes round the end).
#pragma once

#include <QAbstractScrollArea>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

#include "terminal/RowFinder.h"
#include "terminal/RowSource.h"

class QLabel;
class QLineEdit;
class QMenu;

class OutputView : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit OutputView(QWidget* parent = nullptr);
  ~OutputView() override;

  // The whole text shown (rendered from the source when one is shown).
  QString toPlainText() const;
  void setPlainText(const QString& text);
  void clear() { setPlainText(QString()); }
  // Appends raw text (no line break added).
  void appendText(const QString& text);
  // Appends a line as a memo's Lines.Add does: a line break before it when
  // the text is not empty.
  void appendLine(const QString& line);

  // Shows `rows` instead of the own text; nullptr goes back to it. The
  // source must outlive its showing. Call rowsChanged after it grew.
  void setSource(RowSource* rows);
  RowSource* source() const;
  void rowsChanged();
  // Lays the source out again (after a change of its display).
  void relayout();

  void scrollToEnd();
  void scrollToRow(qsizetype row);
  qsizetype firstVisibleRow() const;
  int rowCount() const;
  int columns() const { return cols_; }

  // Selection, as positions in the rows.
  bool hasSelection() const { return anchor_ != cursor_; }
  QString selectedText() const;
  void select(TextPos from, TextPos to);
  void clearSelection();
  void selectAll();
  // Copies the selection, or everything without one.
  void copy() const;

  // Find bar.
  void showFindBar();
  void hideFindBar();
  bool findBarVisible() const;
  void setFindText(const QString& text);
  bool findNext();
  bool findPrevious();
  // The find bar's status: "3 处匹配", "未找到", ...
  QString findStatus() const;
  // Runs the match count to its end at once (tests).
  qsizetype countMatchesNow();

  // Extra entries for the context menu (right click).
  void setMenuExtender(std::function<void(QMenu*)> f) { menuExtender_ = std::move(f); }

  // Writes the whole shown text, a piece at a time.
  void forEachPiece(const std::function<void(const QString&)>& piece) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void OfferSelection();
  class OwnText;
  void UpdateScrollBar();
  int VisibleRows() const;
  void MeasureFont();
  TextPos PosAt(const QPoint& p) const;
  void MoveCursor(TextPos to, bool extend);
  void EnsureVisible(TextPos p);
  void PlaceFindBar();
  void RestartCount();
  void CountStep();
  // Lays the source out for the current width; a source that does it in
  // slices gets them from a timer.
  void LayoutSource();
  bool Find(bool forward);

  std::unique_ptr<OwnText> own_;
  RowSource* src_ = nullptr;
  TextPos anchor_;
  TextPos cursor_;
  int cols_ = 80;
  int cellWidth_ = 8;
  int lineHeight_ = 16;
  int ascent_ = 12;
  std::function<void(QMenu*)> menuExtender_;

  QWidget* findBar_ = nullptr;
  QLineEdit* findEdit_ = nullptr;
  QLabel* findLabel_ = nullptr;
  std::unique_ptr<MatchCounter> counter_;
  QTimer countTimer_;
  QTimer layoutTimer_;
  QString findNote_;  // "未找到", "已从头开始", ...
};
