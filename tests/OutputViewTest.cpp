// The output area lays out rows itself: they must come out the same whether
// the text arrives at once or piece by piece.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QRandomGenerator>

#include "app/OutputView.h"

namespace {
OutputView* NewView() {
  auto* v = new OutputView;
  v->resize(300, 200);
  v->show();
  return v;
}
}  // namespace

TEST(OutputView, RowsWrapAtTheWidthAndBreakAtLineFeeds) {
  std::unique_ptr<OutputView> v(NewView());
  const int cols = v->columns();
  ASSERT_GE(cols, 8);
  v->setPlainText("abc\r\ndef");
  EXPECT_EQ(v->rowCount(), 2);
  v->setPlainText(QString(cols * 3, 'x'));
  EXPECT_EQ(v->rowCount(), 3);
  v->setPlainText(QString(cols * 3 + 1, 'x'));
  EXPECT_EQ(v->rowCount(), 4);
  // A wide character takes two cells and never straddles two rows.
  v->setPlainText(QString(cols - 1, 'x') + QStringLiteral("中"));
  EXPECT_EQ(v->rowCount(), 2);
  v->setPlainText(QString(cols - 2, 'x') + QStringLiteral("中"));
  EXPECT_EQ(v->rowCount(), 1);
  v->appendLine("next");
  EXPECT_EQ(v->toPlainText(), QString(cols - 2, 'x') + QStringLiteral("中\r\nnext"));
  EXPECT_EQ(v->rowCount(), 2);
}

TEST(OutputView, AppendingPiecesGivesTheSameRowsAsTheWholeText) {
  std::unique_ptr<OutputView> whole(NewView());
  std::unique_ptr<OutputView> pieces(NewView());
  QRandomGenerator rng(7);
  const QString alphabet = QStringLiteral("ab 01\r\n中文字\t");
  QString text;
  for (int round = 0; round < 200; ++round) {
    QString piece;
    const int n = rng.bounded(0, 120);
    for (int i = 0; i < n; ++i) piece += alphabet[rng.bounded(alphabet.size())];
    text += piece;
    pieces->appendText(piece);
  }
  whole->setPlainText(text);
  EXPECT_EQ(pieces->toPlainText(), text);
  EXPECT_EQ(pieces->rowCount(), whole->rowCount());
  // A resize lays the rows out again for the new width.
  pieces->resize(150, 200);
  whole->resize(150, 200);
  QCoreApplication::processEvents();
  EXPECT_EQ(pieces->columns(), whole->columns());
  EXPECT_EQ(pieces->rowCount(), whole->rowCount());
}

namespace {
// A source of a million rows that counts what it is asked for.
class CountingRows : public RowSource {
 public:
  mutable int asked = 0;
  int laidOut = 0;
  void Layout(int) override { ++laidOut; }
  qsizetype RowCount() const override { return 1000000; }
  QString Row(qsizetype r) const override {
    ++asked;
    return QStringLiteral("row %1\r\n").arg(r);
  }
};
}  // namespace

TEST(OutputView, AnOutsideSourceIsAskedOnlyForTheRowsOnScreen) {
  std::unique_ptr<OutputView> v(NewView());
  CountingRows rows;
  v->setSource(&rows);
  v->scrollToEnd();
  rows.asked = 0;
  (void)v->viewport()->grab();  // paints
  const int onScreen = v->viewport()->height() / v->fontMetrics().lineSpacing() + 1;
  EXPECT_GT(rows.asked, 0);
  EXPECT_LE(rows.asked, onScreen + 1);
  EXPECT_EQ(v->rowCount(), 1000000);
  // Selection and copy reach into the source as far as the selection goes.
  v->select({999998, 4}, {999999, 3});
  EXPECT_EQ(v->selectedText(), "999998\r\nrow");
  // Text added afterwards continues what was shown (an engine's log line).
  v->setPlainText("page");
  EXPECT_EQ(v->source(), nullptr);
  v->appendLine("more");
  EXPECT_EQ(v->toPlainText(), "page\r\nmore");
}

// A mouse selection is offered for middle-click pasting, as in every X11
// terminal. Only a platform with a primary selection (X11) can show it.
TEST(OutputView, AMouseSelectionBecomesThePrimarySelection) {
  if (!QApplication::clipboard()->supportsSelection()) GTEST_SKIP() << "no primary selection on this platform";
  std::unique_ptr<OutputView> v(NewView());
  v->setPlainText(QStringLiteral("hello world\r\nsecond"));
  QApplication::clipboard()->setText(QStringLiteral("old"), QClipboard::Selection);
  QWidget* vp = v->viewport();
  const int y = v->fontMetrics().height() / 2 + 2;
  auto send = [&](QEvent::Type t, int x, Qt::MouseButtons held) {
    QMouseEvent e(t, QPointF(x, y), vp->mapToGlobal(QPointF(x, y)), Qt::LeftButton, held, Qt::NoModifier);
    QCoreApplication::sendEvent(vp, &e);
  };
  send(QEvent::MouseButtonPress, 1, Qt::LeftButton);
  send(QEvent::MouseMove, v->fontMetrics().horizontalAdvance(QStringLiteral("hello")) + 1, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, v->fontMetrics().horizontalAdvance(QStringLiteral("hello")) + 1, Qt::NoButton);
  ASSERT_TRUE(v->hasSelection());
  for (int i = 0; i < 20 && QApplication::clipboard()->text(QClipboard::Selection) == QStringLiteral("old"); ++i)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(QApplication::clipboard()->text(QClipboard::Selection), v->selectedText());
  EXPECT_TRUE(v->selectedText().startsWith(QStringLiteral("hell")));
}
