#include "app/OutputView.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QToolButton>

#include "terminal/TextCodec.h"

// The view's own text, laid out into rows as it grows: only appended text is
// looked at, so appending costs what was appended.
class OutputView::OwnText : public RowSource {
 public:
  const QString& text() const { return text_; }
  void Set(const QString& text) {
    text_ = text;
    Rebuild();
  }
  void Append(const QString& more) {
    const qsizetype from = text_.size();
    text_ += more;
    Extend(from);
  }
  void Layout(int cols) override {
    if (cols == cols_) return;
    cols_ = cols;
    Rebuild();
  }
  qsizetype RowCount() const override { return static_cast<qsizetype>(rowStarts_.size()); }
  QString Row(qsizetype r) const override {
    if (r < 0 || r >= RowCount()) return QString();
    const qsizetype start = rowStarts_[r];
    const qsizetype end = r + 1 < RowCount() ? rowStarts_[r + 1] : text_.size();
    return text_.mid(start, end - start);
  }

 private:
  void Rebuild() {
    // Room for as many rows as the text's block holds with no line ends in
    // it, so appending up to that never copies the index.
    std::vector<qsizetype> rows;
    rows.reserve(static_cast<size_t>(text_.capacity() / cols_) + 1);
    rows.push_back(0);
    rowStarts_.swap(rows);
    rowCells_ = 0;
    Extend(0);
  }
  void Extend(qsizetype from) {
    const char16_t* p = reinterpret_cast<const char16_t*>(text_.constData());
    const qsizetype n = text_.size();
    const int cols = cols_;
    int cells = rowCells_;
    qsizetype i = from;
    while (i < n) {
      // Whole rows of narrow characters with no line end in them are taken a
      // row at a time: only checked, not measured character by character.
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
      if (c == u'\r') continue;
      const int w = CellWidth(c);
      if (w == 0) continue;
      if (cells + w > cols) {
        rowStarts_.push_back(i - 1);
        cells = 0;
      }
      cells += w;
    }
    rowCells_ = cells;
  }

  QString text_;
  std::vector<qsizetype> rowStarts_{0};  // index of the first character of each row
  int rowCells_ = 0;                      // cells used by the last row so far
  int cols_ = 80;
};

namespace {
// The find bar's edit: Enter finds the next match, Shift+Enter the previous,
// Escape closes the bar.
class FindEdit : public QLineEdit {
 public:
  std::function<void(bool forward)> onFind;
  std::function<void()> onClose;

 protected:
  void keyPressEvent(QKeyEvent* e) override {
    const bool shift = e->modifiers() & Qt::ShiftModifier;
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_F3) {
      onFind(!shift);
      return;
    }
    if (e->key() == Qt::Key_Escape) {
      onClose();
      return;
    }
    QLineEdit::keyPressEvent(e);
  }
};

// What a row shows of its text up to index `upTo`: line break characters
// take no room.
QString Shown(const QString& row, qsizetype upTo) {
  QString s = row.left(upTo);
  s.remove(u'\r');
  s.remove(u'\n');
  return s;
}
}  // namespace

OutputView::OutputView(QWidget* parent) : QAbstractScrollArea(parent), own_(std::make_unique<OwnText>()) {
  src_ = own_.get();
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  QFont f(QStringLiteral("WenQuanYi Micro Hei Mono"));
  f.setStyleHint(QFont::Monospace);
  f.setPixelSize(13);
  setFont(f);
  MeasureFont();
  own_->Layout(cols_);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));

  auto* bar = new QFrame(this);
  bar->setFrameShape(QFrame::StyledPanel);
  bar->setAutoFillBackground(true);
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(4, 2, 4, 2);
  layout->setSpacing(3);
  auto* edit = new FindEdit;
  edit->setPlaceholderText(QStringLiteral("查找"));
  edit->onFind = [this](bool forward) { Find(forward); };
  edit->onClose = [this] { hideFindBar(); };
  findEdit_ = edit;
  auto button = [bar](const QString& text, const QString& tip) {
    auto* b = new QToolButton(bar);
    b->setText(text);
    b->setToolTip(tip);
    b->setAutoRaise(true);
    return b;
  };
  QToolButton* prev = button(QStringLiteral("▲"), QStringLiteral("上一个 (Shift+F3)"));
  QToolButton* next = button(QStringLiteral("▼"), QStringLiteral("下一个 (F3)"));
  QToolButton* close = button(QStringLiteral("✕"), QStringLiteral("关闭 (Esc)"));
  findLabel_ = new QLabel(bar);
  findLabel_->setMinimumWidth(90);
  layout->addWidget(findEdit_, 1);
  layout->addWidget(prev);
  layout->addWidget(next);
  layout->addWidget(findLabel_);
  layout->addWidget(close);
  connect(prev, &QToolButton::clicked, this, [this] { Find(false); });
  connect(next, &QToolButton::clicked, this, [this] { Find(true); });
  connect(close, &QToolButton::clicked, this, [this] { hideFindBar(); });
  connect(findEdit_, &QLineEdit::textChanged, this, [this] {
    findNote_.clear();
    RestartCount();
  });
  bar->hide();
  findBar_ = bar;
  countTimer_.setInterval(0);
  connect(&countTimer_, &QTimer::timeout, this, [this] { CountStep(); });
  layoutTimer_.setInterval(0);
  connect(&layoutTimer_, &QTimer::timeout, this, [this] {
    // About a megabyte a slice: a few milliseconds, so polls go on between.
    if (!src_->ContinueLayout(size_t{1} << 20)) return;
    layoutTimer_.stop();
    const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    clearSelection();
    RestartCount();
    UpdateScrollBar();
    if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
  });
}

OutputView::~OutputView() = default;

RowSource* OutputView::source() const { return src_ == own_.get() ? nullptr : src_; }

void OutputView::MeasureFont() {
  QFontMetrics fm(font());
  cellWidth_ = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
  lineHeight_ = std::max(1, fm.lineSpacing());
  ascent_ = fm.ascent();
  cols_ = std::max(8, (viewport()->width() - 4) / cellWidth_);
}

int OutputView::VisibleRows() const { return std::max(1, viewport()->height() / lineHeight_); }
int OutputView::rowCount() const { return static_cast<int>(src_->RowCount()); }
qsizetype OutputView::firstVisibleRow() const { return verticalScrollBar()->value(); }

QString OutputView::toPlainText() const {
  if (src_ == own_.get()) return own_->text();
  QString all;
  src_->AppendRows(0, src_->RowCount(), all, nullptr);
  return all;
}

void OutputView::forEachPiece(const std::function<void(const QString&)>& piece) const {
  const qsizetype n = src_->RowCount();
  constexpr qsizetype kRows = 4096;
  for (qsizetype r = 0; r < n; r += kRows) {
    QString s;
    src_->AppendRows(r, std::min(n, r + kRows), s, nullptr);
    piece(s);
  }
}

void OutputView::setPlainText(const QString& text) {
  layoutTimer_.stop();
  src_ = own_.get();
  own_->Layout(cols_);
  own_->Set(text);
  clearSelection();
  RestartCount();
  UpdateScrollBar();
  verticalScrollBar()->setValue(0);
  viewport()->update();
}

void OutputView::appendText(const QString& text) {
  if (src_ != own_.get()) {
    // Text added after a shown source continues a copy of what it showed.
    const QString shown = toPlainText();
    layoutTimer_.stop();
    src_ = own_.get();
    own_->Layout(cols_);
    own_->Set(shown);
    clearSelection();
  }
  if (text.isEmpty()) return;
  own_->Append(text);
  UpdateScrollBar();
  viewport()->update();
}

void OutputView::appendLine(const QString& line) {
  const bool empty = src_ == own_.get() ? own_->text().isEmpty() : src_->RowCount() == 0 || toPlainText().isEmpty();
  appendText(empty ? line : QStringLiteral("\r\n") + line);
  viewport()->update();
}

void OutputView::LayoutSource() {
  src_->Layout(cols_);
  if (src_->LayoutPending()) {
    if (!layoutTimer_.isActive()) layoutTimer_.start();
  } else {
    layoutTimer_.stop();
  }
}

void OutputView::setSource(RowSource* rows) {
  src_ = rows ? rows : own_.get();
  LayoutSource();
  clearSelection();
  RestartCount();
  UpdateScrollBar();
  viewport()->update();
}

void OutputView::rowsChanged() {
  UpdateScrollBar();
  viewport()->update();
  if (counter_ && !countTimer_.isActive()) countTimer_.start();
}

void OutputView::relayout() {
  LayoutSource();
  clearSelection();
  RestartCount();
  UpdateScrollBar();
  viewport()->update();
}

void OutputView::scrollToEnd() {
  UpdateScrollBar();
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void OutputView::scrollToRow(qsizetype row) {
  UpdateScrollBar();
  verticalScrollBar()->setValue(static_cast<int>(std::clamp<qsizetype>(row, 0, verticalScrollBar()->maximum())));
}

void OutputView::UpdateScrollBar() {
  const int rows = rowCount();
  const int page = VisibleRows();
  verticalScrollBar()->setPageStep(page);
  verticalScrollBar()->setSingleStep(1);
  verticalScrollBar()->setRange(0, std::max(0, rows - page));
}

// ---- Selection ----

QString OutputView::selectedText() const {
  if (!hasSelection()) return QString();
  return src_->Slice(std::min(anchor_, cursor_), std::max(anchor_, cursor_));
}

void OutputView::select(TextPos from, TextPos to) {
  anchor_ = from;
  cursor_ = to;
  viewport()->update();
}

void OutputView::clearSelection() {
  anchor_ = cursor_ = TextPos{};
  viewport()->update();
}

void OutputView::selectAll() { select(TextPos{}, src_->End()); }

void OutputView::copy() const {
  QApplication::clipboard()->setText(hasSelection() ? selectedText() : toPlainText());
}

TextPos OutputView::PosAt(const QPoint& p) const {
  const qsizetype n = src_->RowCount();
  if (n == 0) return {};
  const qsizetype row = std::clamp<qsizetype>(firstVisibleRow() + std::max(0, p.y()) / lineHeight_, 0, n - 1);
  const QString text = src_->Row(row);
  // The glyphs' own widths: a fallback font's wide characters need not be
  // exactly two cells.
  const QFontMetrics fm(font());
  const int x = p.x() - 2;
  qsizetype i = 0;
  int at = 0;
  const char16_t* c = reinterpret_cast<const char16_t*>(text.constData());
  for (; i < text.size(); ++i) {
    if (c[i] == u'\r' || c[i] == u'\n') break;
    const qsizetype len = QChar::isHighSurrogate(c[i]) && i + 1 < text.size() ? 2 : 1;
    const int w = fm.horizontalAdvance(text.mid(i, len));
    if (at + w / 2 > x) break;
    at += w;
    i += len - 1;
  }
  return {row, i};
}

void OutputView::EnsureVisible(TextPos p) {
  const qsizetype first = firstVisibleRow();
  if (p.row < first || p.row >= first + VisibleRows()) scrollToRow(p.row - VisibleRows() / 2);
}

void OutputView::MoveCursor(TextPos to, bool extend) {
  if (!extend || !hasSelection()) {
    if (!extend) {
      anchor_ = cursor_ = to;
      viewport()->update();
      return;
    }
    const qsizetype first = firstVisibleRow();
    if (cursor_.row < first || cursor_.row >= first + VisibleRows()) anchor_ = cursor_ = {first, 0};
  }
  cursor_ = to;
  EnsureVisible(cursor_);
  viewport()->update();
}

void OutputView::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  const TextPos p = PosAt(e->position().toPoint());
  if (e->modifiers() & Qt::ShiftModifier) cursor_ = p;
  else anchor_ = cursor_ = p;
  viewport()->update();
}

void OutputView::mouseMoveEvent(QMouseEvent* e) {
  if (!(e->buttons() & Qt::LeftButton)) return;
  const QPoint pt = e->position().toPoint();
  // Dragging past the top or bottom scrolls on.
  if (pt.y() < 0) verticalScrollBar()->setValue(verticalScrollBar()->value() - 1);
  if (pt.y() > viewport()->height()) verticalScrollBar()->setValue(verticalScrollBar()->value() + 1);
  cursor_ = PosAt(QPoint(pt.x(), std::clamp(pt.y(), 0, viewport()->height() - 1)));
  viewport()->update();
}

void OutputView::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) OfferSelection();
}

// What the mouse selects is offered for middle-click pasting, as in every
// X11 terminal.
void OutputView::OfferSelection() {
  QClipboard* c = QApplication::clipboard();
  if (hasSelection() && c->supportsSelection()) c->setText(selectedText(), QClipboard::Selection);
}

void OutputView::mouseDoubleClickEvent(QMouseEvent* e) {
  const TextPos p = PosAt(e->position().toPoint());
  QString row = src_->Row(p.row);
  while (row.endsWith(u'\n') || row.endsWith(u'\r')) row.chop(1);
  select({p.row, 0}, {p.row, row.size()});
  OfferSelection();
}

void OutputView::keyPressEvent(QKeyEvent* e) {
  if (e->matches(QKeySequence::Copy)) return copy();
  if (e->matches(QKeySequence::SelectAll)) return selectAll();
  if (e->matches(QKeySequence::Find)) return showFindBar();
  if (e->key() == Qt::Key_F3) {
    Find(!(e->modifiers() & Qt::ShiftModifier));
    return;
  }
  if (e->key() == Qt::Key_Escape && findBarVisible()) return hideFindBar();
  if (e->modifiers() & Qt::ShiftModifier) {
    const qsizetype n = src_->RowCount();
    TextPos c = hasSelection() ? cursor_ : TextPos{firstVisibleRow(), 0};
    if (hasSelection() || (cursor_.row >= firstVisibleRow() && cursor_.row < firstVisibleRow() + VisibleRows()))
      c = cursor_;
    // A row's end is before its line break; moving past it takes the break along.
    auto rowLen = [&](qsizetype r) {
      if (n == 0) return qsizetype{0};
      QString t = src_->Row(r);
      while (t.endsWith(u'\n') || t.endsWith(u'\r')) t.chop(1);
      return t.size();
    };
    const bool ctrl = e->modifiers() & Qt::ControlModifier;
    switch (e->key()) {
      case Qt::Key_Left:
        if (c.col > 0) --c.col;
        else if (c.row > 0) c = {c.row - 1, rowLen(c.row - 1)};
        break;
      case Qt::Key_Right:
        if (c.col < rowLen(c.row)) ++c.col;
        else if (c.row + 1 < n) c = {c.row + 1, 0};
        break;
      case Qt::Key_Up: if (c.row > 0) c = {c.row - 1, std::min(c.col, rowLen(c.row - 1))}; break;
      case Qt::Key_Down: if (c.row + 1 < n) c = {c.row + 1, std::min(c.col, rowLen(c.row + 1))}; break;
      case Qt::Key_PageUp: c.row = std::max<qsizetype>(0, c.row - VisibleRows()); c.col = std::min(c.col, rowLen(c.row)); break;
      case Qt::Key_PageDown: c.row = std::max<qsizetype>(0, std::min(n - 1, c.row + VisibleRows())); c.col = std::min(c.col, rowLen(c.row)); break;
      case Qt::Key_Home: c = ctrl ? TextPos{} : TextPos{c.row, 0}; break;
      case Qt::Key_End: c = ctrl ? src_->End() : TextPos{c.row, rowLen(c.row)}; break;
      default: QAbstractScrollArea::keyPressEvent(e); return;
    }
    MoveCursor(c, true);
    return;
  }
  QAbstractScrollArea::keyPressEvent(e);
}

void OutputView::contextMenuEvent(QContextMenuEvent* e) {
  QMenu menu(this);
  QAction* copyAction = menu.addAction(QStringLiteral("复制"), this, [this] { copy(); });
  copyAction->setShortcut(QKeySequence::Copy);
  menu.addAction(QStringLiteral("全选"), this, [this] { selectAll(); })->setShortcut(QKeySequence::SelectAll);
  menu.addAction(QStringLiteral("查找…"), this, [this] { showFindBar(); })->setShortcut(QKeySequence::Find);
  if (menuExtender_) menuExtender_(&menu);
  menu.exec(e->globalPos());
}

// ---- Find ----

void OutputView::PlaceFindBar() {
  const int w = std::min(360, viewport()->width());
  findBar_->setGeometry(viewport()->x() + viewport()->width() - w, viewport()->y(), w, findBar_->sizeHint().height());
}

void OutputView::showFindBar() {
  PlaceFindBar();
  findBar_->show();
  findBar_->raise();
  if (hasSelection() && cursor_.row == anchor_.row) findEdit_->setText(selectedText());
  findEdit_->setFocus();
  findEdit_->selectAll();
  RestartCount();
}

void OutputView::hideFindBar() {
  findBar_->hide();
  countTimer_.stop();
  counter_.reset();
  setFocus();
}

bool OutputView::findBarVisible() const { return findBar_->isVisible(); }

void OutputView::setFindText(const QString& text) { findEdit_->setText(text); }

bool OutputView::findNext() { return Find(true); }
bool OutputView::findPrevious() { return Find(false); }

bool OutputView::Find(bool forward) {
  const QString needle = findEdit_->text();
  if (needle.isEmpty()) return false;
  const TextPos start = hasSelection() ? (forward ? std::max(anchor_, cursor_) : std::min(anchor_, cursor_))
                                       : TextPos{firstVisibleRow(), 0};
  const auto m = forward ? FindNext(*src_, needle, start) : FindPrevious(*src_, needle, start);
  if (!m) {
    findNote_ = QStringLiteral("未找到");
  } else {
    select(m->begin, m->end);
    EnsureVisible(m->begin);
    findNote_ = m->wrapped ? (forward ? QStringLiteral("已从头开始") : QStringLiteral("已从末尾开始")) : QString();
  }
  findLabel_->setText(findStatus());
  return m.has_value();
}

void OutputView::RestartCount() {
  countTimer_.stop();
  counter_.reset();
  if (!findBarVisible() || findEdit_->text().isEmpty()) {
    findLabel_->setText(findNote_);
    return;
  }
  counter_ = std::make_unique<MatchCounter>(findEdit_->text());
  countTimer_.start();
  findLabel_->setText(findStatus());
}

void OutputView::CountStep() {
  if (!counter_) return countTimer_.stop();
  // A slice at a time, so a count over a large history never holds the
  // window (or the port's poll) up for long.
  if (counter_->Step(*src_, 1 << 17)) countTimer_.stop();
  findLabel_->setText(findStatus());
}

qsizetype OutputView::countMatchesNow() {
  if (!counter_) return 0;
  while (!counter_->Step(*src_, 1 << 20)) {
  }
  countTimer_.stop();
  findLabel_->setText(findStatus());
  return counter_->Count();
}

QString OutputView::findStatus() const {
  QString s;
  if (counter_) {
    s = countTimer_.isActive() ? QStringLiteral("%1 处…").arg(counter_->Count())
                               : QStringLiteral("共 %1 处").arg(counter_->Count());
  }
  if (!findNote_.isEmpty()) s = s.isEmpty() ? findNote_ : s + QStringLiteral("，") + findNote_;
  return s;
}

// ---- Painting and size ----

void OutputView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  painter.setFont(font());
  const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
  const QColor textColor = palette().color(group, QPalette::Text);
  const qsizetype first = firstVisibleRow();
  const qsizetype rows = src_->RowCount();
  const TextPos selA = std::min(anchor_, cursor_);
  const TextPos selB = std::max(anchor_, cursor_);
  const bool sel = hasSelection();
  for (qsizetype r = first, y = 0; r < rows && y < viewport()->height(); ++r, y += lineHeight_) {
    QString row = src_->Row(r);
    QRect selected;
    if (sel && r >= selA.row && r <= selB.row) {
      const qsizetype s = r == selA.row ? selA.col : 0;
      const qsizetype e = r == selB.row ? selB.col : row.size();
      const QFontMetrics fm(font());
      const int x0 = fm.horizontalAdvance(Shown(row, s));
      int x1 = fm.horizontalAdvance(Shown(row, e));
      if (r != selB.row) x1 += cellWidth_;  // the line break is selected too
      selected = QRect(2 + x0, static_cast<int>(y), x1 - x0, lineHeight_);
      painter.fillRect(selected, palette().color(group, QPalette::Highlight));
    }
    row.remove(u'\r');
    row.remove(u'\n');
    painter.setPen(textColor);
    painter.drawText(2, static_cast<int>(y) + ascent_, row);
    if (!selected.isEmpty()) {
      painter.save();
      painter.setClipRect(selected);
      painter.setPen(palette().color(group, QPalette::HighlightedText));
      painter.drawText(2, static_cast<int>(y) + ascent_, row);
      painter.restore();
    }
  }
}

void OutputView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  const int oldCols = cols_;
  const bool atEnd = verticalScrollBar()->value() == verticalScrollBar()->maximum();
  MeasureFont();
  if (cols_ != oldCols) {
    LayoutSource();
    clearSelection();
  }
  UpdateScrollBar();
  if (atEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  if (findBar_->isVisible()) PlaceFindBar();
}
