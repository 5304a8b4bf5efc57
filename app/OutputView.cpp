#include "app/OutputView.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

namespace {
// East Asian wide characters take two cells of the monospaced font.
bool IsWide(char16_t c) {
  return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
         (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0xD800 && c <= 0xDBFF);
}
}  // namespace

OutputView::OutputView(QWidget* parent) : QAbstractScrollArea(parent) {
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  QFont f(QStringLiteral("WenQuanYi Micro Hei Mono"));
  f.setStyleHint(QFont::Monospace);
  f.setPixelSize(13);
  setFont(f);
  rowStarts_.push_back(0);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
}

int OutputView::VisibleRows() const { return std::max(1, viewport()->height() / lineHeight_); }

void OutputView::setPlainText(const QString& text) {
  text_ = text;
  RebuildRows();
  verticalScrollBar()->setValue(0);
  viewport()->update();
}

void OutputView::appendText(const QString& text) {
  if (text.isEmpty()) return;
  const qsizetype from = text_.size();
  text_ += text;
  ExtendRows(from);
  UpdateScrollBar();
  viewport()->update();
}

void OutputView::appendLine(const QString& line) {
  appendText(text_.isEmpty() ? line : QStringLiteral("\r\n") + line);
  if (text_.isEmpty()) viewport()->update();
}

void OutputView::scrollToEnd() {
  UpdateScrollBar();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void OutputView::RebuildRows() {
  QFontMetrics fm(font());
  cellWidth_ = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
  lineHeight_ = std::max(1, fm.lineSpacing());
  cols_ = std::max(8, (viewport()->width() - 4) / cellWidth_);
  // Room for as many rows as the text's block holds with no line ends in it,
  // so appending up to that never copies the index: a copy of megabytes would
  // hold the window up. The old index goes with the old text.
  std::vector<qsizetype> rows;
  rows.reserve(static_cast<size_t>(text_.capacity() / cols_) + 1);
  rows.push_back(0);
  rowStarts_.swap(rows);
  rowCells_ = 0;
  ExtendRows(0);
  UpdateScrollBar();
}

// Continues the row index over text_[from, end): only the new text is looked
// at, so appending costs what was appended.
void OutputView::ExtendRows(qsizetype from) {
  const char16_t* p = reinterpret_cast<const char16_t*>(text_.constData());
  const qsizetype n = text_.size();
  const int cols = cols_;
  int cells = rowCells_;
  qsizetype i = from;
  while (i < n) {
    // Whole rows of narrow characters with no line end in them (hexadecimal
    // display, long text lines) are taken a row at a time: only checked, not
    // measured character by character. A rebuild of a large store is mostly
    // this.
    if (cells == 0 || cells == cols) {
      while (i + cols <= n) {
        bool plain = true;
        for (int k = 0; k < cols; ++k) {
          const char16_t c = p[i + k];
          plain &= (c >= 0x20) & (c < 0x1100);
        }
        if (!plain) break;
        if (cells == cols) rowStarts_.push_back(i);
        i += cols;
        cells = cols;
      }
      if (i >= n) break;
    }
    const char16_t c = p[i++];
    if (c == u'\n') {
      rowStarts_.push_back(i);
      cells = 0;
      continue;
    }
    if (c == u'\r' || (c >= 0xDC00 && c <= 0xDFFF)) continue;
    const int w = IsWide(c) ? 2 : 1;
    if (cells + w > cols) {
      rowStarts_.push_back(i - 1);
      cells = 0;
    }
    cells += w;
  }
  rowCells_ = cells;
}

void OutputView::UpdateScrollBar() {
  const int rows = rowCount();
  const int page = VisibleRows();
  verticalScrollBar()->setPageStep(page);
  verticalScrollBar()->setSingleStep(1);
  verticalScrollBar()->setRange(0, std::max(0, rows - page));
}

void OutputView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setFont(font());
  painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  const int first = verticalScrollBar()->value();
  const int rows = rowCount();
  const int ascent = QFontMetrics(font()).ascent();
  for (int r = first, y = 0; r < rows && y < viewport()->height(); ++r, y += lineHeight_) {
    const qsizetype start = rowStarts_[r];
    const qsizetype end = r + 1 < rows ? rowStarts_[r + 1] : text_.size();
    QString row = text_.mid(start, end - start);
    row.remove(u'\r');
    row.remove(u'\n');
    painter.drawText(2, y + ascent, row);
  }
}

void OutputView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  QFontMetrics fm(font());
  const int cols = std::max(8, (viewport()->width() - 4) / std::max(1, fm.horizontalAdvance(QLatin1Char('0'))));
  const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
  if (cols != cols_) RebuildRows();
  else UpdateScrollBar();
  if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void OutputView::keyPressEvent(QKeyEvent* event) {
  // Read-only: the only keys it takes are copy-all and scrolling.
  if (event->matches(QKeySequence::Copy) || event->matches(QKeySequence::SelectAll)) {
    QApplication::clipboard()->setText(text_);
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}
