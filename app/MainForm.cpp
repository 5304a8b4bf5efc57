#include "app/MainForm.h"

#include "app/FileTransfer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QTranslator>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListView>
#include <QVBoxLayout>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>
#include <QLabel>
#include <QLineEdit>
#include <QWidgetAction>
#include <QDoubleValidator>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QUrl>
#include <QStyledItemDelegate>

#include "app/Marquee.h"
#include "app/PageTexts.h"
#include "app/Pictures.h"
#include "platform/PortDiscovery.h"
#include "isp/lpc/LPC.h"
#include "isp/stc/STC.h"
#include "isp/stm32/Stm32Engine.h"
#include "platform/PortDoctor.h"
#include "platform/SerialAdapter.h"
#include "platform/SerialOpenError.h"
#include "app/ReceiveDisplay.h"
#include "app/TerminalOptions.h"
#include "app/StcOptionsDialog.h"
#include "platform/SettingsStore.h"

namespace {
const char* const kSpeeds[] = {"110",   "300",   "600",    "1200",   "2400",   "4800",  "9600",
                               "14400", "19200", "38400",  "56000",  "57600",  "115200", "128000",
                               "256000", "460800", "614400", "921600", "1228800"};
const char* const kModels[] = {"LPC2214",    "LPC2292",     "LPC2131",           "LPC2132",
                               "LPC2136",    "LPC2138",     "STM32Fxxx/H7xx家族", "STC89C51RC",
                               "STC89C52RC", "STC89C55RD+", "STC89C58RD+",       "STC89C516RD+"};

QStringList DefaultPorts() {
  // The window definition's "COM1" … "COM8" are the first eight on-board UARTs here.
  QStringList l;
  for (int i = 0; i < 8; ++i) l << QStringLiteral("ttyS%1").arg(i);
  return l;
}

QString DefaultFirmwareName() { return QDir::homePath() + QStringLiteral("/Test.bin"); }
}  // namespace

void ClickableLabel::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) emit clicked();
  QLabel::mousePressEvent(e);
}

QString SendMemo::text() const {
  QString t = toPlainText();
  t.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  return t;
}

void SendMemo::setText(const QString& t) {
  QString plain = t;
  plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  setPlainText(plain);
}

void SendMemo::keyPressEvent(QKeyEvent* e) {
  if (OnKeyDown) OnKeyDown(VirtualKeyCode(e->key(), e->text(), e->modifiers() & Qt::KeypadModifier));
  QPlainTextEdit::keyPressEvent(e);
}

int VirtualKeyCode(int key, const QString& text, bool keypad) {
  if (keypad) {
    if (key >= Qt::Key_0 && key <= Qt::Key_9) return 0x60 + (key - Qt::Key_0);
    switch (key) {
      case Qt::Key_Asterisk: return 0x6A;
      case Qt::Key_Plus: return 0x6B;
      case Qt::Key_Comma: return 0x6C;  // separator
      case Qt::Key_Minus: return 0x6D;
      case Qt::Key_Period: case Qt::Key_Delete: return 0x6E;
      case Qt::Key_Slash: return 0x6F;
      default: break;  // Enter and the keypad's arrows are the common keys
    }
  }
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return key;  // same codes as 'A'..'Z'
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return key;
  switch (key) {
    case Qt::Key_Return: case Qt::Key_Enter: return 0x0D;
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Tab: return 0x09;
    case Qt::Key_Shift: return 0x10;
    case Qt::Key_Control: return 0x11;
    case Qt::Key_Alt: return 0x12;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_CapsLock: return 0x14;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_Semicolon: case Qt::Key_Colon: return 0xBA;
    case Qt::Key_Equal: case Qt::Key_Plus: return 0xBB;
    case Qt::Key_Comma: case Qt::Key_Less: return 0xBC;
    case Qt::Key_Minus: case Qt::Key_Underscore: return 0xBD;
    case Qt::Key_Period: case Qt::Key_Greater: return 0xBE;
    case Qt::Key_Slash: case Qt::Key_Question: return 0xBF;
    case Qt::Key_QuoteLeft: case Qt::Key_AsciiTilde: return 0xC0;
    case Qt::Key_BracketLeft: case Qt::Key_BraceLeft: return 0xDB;
    case Qt::Key_Backslash: case Qt::Key_Bar: return 0xDC;
    case Qt::Key_BracketRight: case Qt::Key_BraceRight: return 0xDD;
    case Qt::Key_Apostrophe: case Qt::Key_QuoteDbl: return 0xDE;
    default: break;
  }
  if (key >= Qt::Key_F1 && key <= Qt::Key_F24) return 0x70 + (key - Qt::Key_F1);
  // Shifted digits arrive as their symbols; the key itself is the digit.
  static const QString kShiftedDigits = QStringLiteral(")!@#$%^&*(");
  if (text.size() == 1) {
    const qsizetype d = kShiftedDigits.indexOf(text[0]);
    if (d >= 0) return '0' + static_cast<int>(d);
  }
  return key & 0xFF;
}

std::function<void(const QString&, const QString&)> TMainForm::MessageSink;

TMainForm::TMainForm(QWidget* parent, SerialPlatform* platform) : QMainWindow(parent) {
  ComDriver_ = new TKRNCommDriver(this, platform);
  KRNCommDriver1 = new TKRNCommDriver(this, platform);

  ShowMessageHook = [this](const QString& caption, const QString& text) {
    QMessageBox box(caption == QStringLiteral("注册软件") ? QMessageBox::Warning : QMessageBox::Information,
                    caption, text, QMessageBox::Ok, this);
    if (caption == QStringLiteral("注册软件")) box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
  };
  if (MessageSink) ShowMessageHook = MessageSink;
  ChooseOpenFile = [this](const QString& title, const QString& filter, const QString& start) {
    return QFileDialog::getOpenFileName(this, title, start, filter);
  };
  ChooseSaveFile = [this](const QString& title, const QString& filter, const QString& start) {
    return QFileDialog::getSaveFileName(this, title, start, filter);
  };
  AskYesNo = [this](const QString& caption, const QString& text) {
    return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  };
  OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  ListSerialPorts = [] { return DiscoverPorts(); };
  // Device nodes appearing or vanishing stand for the device-change message.
  devWatch_.addPath(QStringLiteral("/dev"));
  connect(&devWatch_, &QFileSystemWatcher::directoryChanged, this, [this] { WMDeviceChange(7); });

  auto* central = new QWidget(this);
  setCentralWidget(central);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  // The output area takes whatever room the window has beyond the pages and
  // the status bar; the help panel lies over it.
  auto* output = new QWidget(central);
  auto* outputCell = new QGridLayout(output);
  outputCell->setContentsMargins(0, 0, 0, 0);
  Memo1 = new OutputView(output);
  Memo1->setMinimumHeight(60);
  Panel1 = new QWidget(output);
  Panel1->setAutoFillBackground(true);
  auto* panelBox = new QVBoxLayout(Panel1);
  Image3 = new ClickableLabel(Panel1);
  Image3->setPixmap(ConnectorPinout());
  Image3->setAlignment(Qt::AlignCenter);
  Image3->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  panelBox->addWidget(Image3);
  outputCell->addWidget(Memo1, 0, 0);
  outputCell->addWidget(Panel1, 0, 0);
  Panel1->hide();
  column->addWidget(output, 1);

  RzPageControl1 = new QTabWidget(central);
  RzPageControl1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  column->addWidget(RzPageControl1, 0);
  TabSheet1 = new QWidget;
  TabSheet2 = new QWidget;
  TabSheet3 = new QWidget;
  TabSheet4 = new QWidget;
  RzPageControl1->addTab(TabSheet1, QStringLiteral("程序下载(ISP)"));
  RzPageControl1->addTab(TabSheet2, QStringLiteral("串口调试助手"));
  RzPageControl1->addTab(TabSheet3, QStringLiteral("ESC打印机测试"));
  RzPageControl1->addTab(TabSheet4, QStringLiteral("关于"));
  // Coloured tabs, one colour a page.
  RzPageControl1->setStyleSheet(QStringLiteral(
      "QTabBar::tab:nth-child(1){} QTabBar::tab{padding:3px 10px;}"
      "QTabBar::tab:selected{background:#fff8d0;}"));

  Image1 = ClosedPortGlyph();
  Image2 = OpenPortGlyph();

  BuildIspPage();
  BuildTerminalPage();
  BuildPrinterPage();
  BuildAboutPage();
  BuildStatusBar();
  SetFontScale(1.0);
  resize(minimumSize());

  TimerSec.setInterval(1000);
  AutoIspTimer.setInterval(200);
  USB_Change.setInterval(1000);
  Timer1.setInterval(1000);

  Terminal = new TerminalOptions(*this);
  Transfers = new FileTransfer(*this);
  ConnectHandlers();
  FormCreate();
}

namespace {
// A label for a control, or a unit after it.
QLabel* Caption(const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
  return l;
}

QHBoxLayout* Row(std::initializer_list<QWidget*> widgets, bool stretch = true) {
  auto* row = new QHBoxLayout;
  row->setSpacing(4);
  for (QWidget* w : widgets) row->addWidget(w);
  if (stretch) row->addStretch(1);
  return row;
}

QVBoxLayout* Column(QWidget* page) {
  auto* c = new QVBoxLayout(page);
  c->setContentsMargins(4, 4, 4, 4);
  c->setSpacing(3);
  return c;
}

// Port lists show long device paths whole: the drop-down is as wide as its
// longest entry, and the chosen one is the list's tooltip.
// The open list shows each port with its adapter after the name; the item's
// text stays the bare name, which is what the rest of the window reads.
class PortItemDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    const QString adapter = index.data(kPortAdapterRole).toString();
    if (!adapter.isEmpty()) option->text += QStringLiteral(" — ") + adapter;
  }
};

void ShowWholePortNames(QComboBox* box) {
  box->setItemDelegate(new PortItemDelegate(box));
  auto widen = [box] {
    int widest = 0;
    const QFontMetrics fm(box->view()->font());
    for (int i = 0; i < box->count(); ++i) {
      const QString adapter = box->itemData(i, kPortAdapterRole).toString();
      widest = std::max(widest, fm.horizontalAdvance(box->itemText(i) +
                                                     (adapter.isEmpty() ? QString() : QStringLiteral(" — ") + adapter)));
    }
    box->view()->setMinimumWidth(widest + 32);
    box->setToolTip(box->currentText());
  };
  box->view()->setTextElideMode(Qt::ElideNone);
  QObject::connect(box->model(), &QAbstractItemModel::rowsInserted, box, widen);
  QObject::connect(box->model(), &QAbstractItemModel::rowsRemoved, box, widen);
  QObject::connect(box, &QComboBox::currentIndexChanged, box, widen);
  widen();
}
}  // namespace

// A number field as wide as its longest allowed text.
class DigitsEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
  QSize sizeHint() const override {
    QSize s = QLineEdit::sizeHint();
    const int digits = std::max(1, std::min(maxLength(), 6));
    s.setWidth(fontMetrics().horizontalAdvance(QString(digits, u'9')) + 14);
    return s;
  }
  QSize minimumSizeHint() const override { return sizeHint(); }
};

void TMainForm::BuildIspPage() {
  QWidget* p = TabSheet1;
  MCUType = new QComboBox(p);
  for (const char* m : kModels) MCUType->addItem(QString::fromUtf8(m));
  MCUType->setCurrentIndex(6);
  ComboBox6 = new QComboBox(p);
  ComboBox6->addItems(DefaultPorts());
  ShowWholePortNames(ComboBox6);
  ComboBox7 = new QComboBox(p);
  for (const char* s : kSpeeds) ComboBox7->addItem(QString::fromLatin1(s));
  ComboBox7->setCurrentIndex(11);
  Label10 = new QLabel(p);

  auto* left = new QGridLayout;
  left->setHorizontalSpacing(4);
  left->setVerticalSpacing(3);
  left->addWidget(Caption(QStringLiteral("芯片型号"), p), 0, 0);
  left->addWidget(MCUType, 0, 1);
  left->addWidget(Caption(QStringLiteral("串口号"), p), 1, 0);
  left->addWidget(ComboBox6, 1, 1);
  left->addWidget(Caption(QStringLiteral("波特率"), p), 2, 0);
  left->addWidget(ComboBox7, 2, 1);
  left->addWidget(Label10, 3, 0, 1, 2);
  // Below the specified controls, so none of them moves.
  LabelFreq = Caption(QStringLiteral("频率"), p);
  EditFreq = new DigitsEdit(QStringLiteral("11059.2"), p);
  EditFreq->setMaxLength(8);
  EditFreq->setValidator(new QDoubleValidator(1000, 100000, 3, EditFreq));
  EditFreq->setToolTip(QStringLiteral("STC15/STC8 内部 RC 振荡器调整到的频率 (kHz)"));
  auto* freq = new QHBoxLayout;
  freq->setSpacing(4);
  freq->addWidget(EditFreq);
  freq->addWidget(Caption(QStringLiteral("kHz"), p));
  freq->addStretch(1);
  left->addWidget(LabelFreq, 4, 0);
  left->addLayout(freq, 4, 1);
  // The crystal an LPC boot loader is told about: its baud generator and
  // flash timing are worked out from it.
  LabelCrystal = Caption(QStringLiteral("晶振"), p);
  EditCrystal = new DigitsEdit(QStringLiteral("11059"), p);
  EditCrystal->setMaxLength(6);
  EditCrystal->setValidator(new QIntValidator(1000, 100000, EditCrystal));
  EditCrystal->setToolTip(QStringLiteral("LPC 板上晶振的频率 (kHz)"));
  auto* crystal = new QHBoxLayout;
  crystal->setSpacing(4);
  crystal->addWidget(EditCrystal);
  crystal->addWidget(Caption(QStringLiteral("kHz"), p));
  crystal->addStretch(1);
  left->addWidget(LabelCrystal, 5, 0);
  left->addLayout(crystal, 5, 1);
  left->setRowStretch(6, 1);

  Edit2 = new QLineEdit(DefaultFirmwareName(), p);
  Edit2->setReadOnly(true);
  Edit2->setEnabled(false);
  BitBtn2 = new QPushButton(QStringLiteral("..."), p);
  BitBtn2->setToolTip(QStringLiteral("选择目标文件"));
  BitBtn2->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  BitBtn2->setMaximumWidth(40);

  BitBtn1 = new QPushButton(QStringLiteral("下载"), p);
  BitBtn1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
  BitBtn1->setMinimumWidth(90);

  CheckBox1 = new QCheckBox(QStringLiteral("自动上载"), p);
  CheckBox1->setToolTip(QStringLiteral("选用后：\n目标文件(*.bin或*.hex)更新时，自动进行上载操作。"));
  CheckBox2 = new QCheckBox(QStringLiteral("自动复位"), p);
  CheckBox2->setChecked(true);
  CheckBox10 = new QCheckBox(QStringLiteral("模式2"), p);
  // The hint describes the reset wiring the box selects.
  auto wiringHint = [this] {
    CheckBox10->setToolTip(CheckBox10->isChecked()
                               ? QStringLiteral("开始 RTS#输出低\n复位 100ms\n然后 DTR#输出低\n结束复位，\n进入BOOT开始ISP")
                               : QStringLiteral("开始 DTR#输出低\n然后 RTS#输出低\n复位 500ms\n然后 DTR#输出高\n结束复位，\n进入BOOT开始ISP"));
  };
  wiringHint();
  connect(CheckBox10, &QCheckBox::toggled, this, wiringHint);
  CheckBox11 = new QCheckBox(QStringLiteral("写后校验"), p);
  CheckBox11->setChecked(true);
  CheckBox11->setToolTip(QStringLiteral("写入后读回比较"));
  BitBtn7 = new QPushButton(QStringLiteral("12T"), p);
  BitBtn7->setToolTip(QStringLiteral(" 6T / 双倍速\n12T / 单倍速"));

  // The number fields sit between their captions and units.
  Edit3 = new DigitsEdit(QStringLiteral("5"), p);
  Edit3->setMaxLength(2);
  Edit3->setToolTip(QStringLiteral("1 ~ 99"));
  Label11 = Caption(QStringLiteral("复位时间"), p);
  Label11Unit = Caption(QStringLiteral("ms"), p);
  Edit4 = new DigitsEdit(QStringLiteral("500"), p);
  Edit4->setMaxLength(3);
  Edit4->setToolTip(QStringLiteral("1 ~ 999"));

  auto* options = new QVBoxLayout;
  options->setSpacing(3);
  BitBtnJobs = new QToolButton(p);
  BitBtnJobs->setText(QStringLiteral("更多"));
  BitBtnJobs->setToolTip(QStringLiteral("读出、擦除、解除保护、器件信息、STC 选项"));
  BitBtnJobs->setPopupMode(QToolButton::InstantPopup);
  JobsMenu = new QMenu(BitBtnJobs);
  const QList<QPair<IspJobKind, QString>> jobs = {
      {IspJobKind::Info, QStringLiteral("读器件信息")},
      {IspJobKind::Read, QStringLiteral("读出到文件…")},
      {IspJobKind::Verify, QStringLiteral("与文件比较（不写入）")},
      {IspJobKind::Erase, QStringLiteral("擦除整片")},
      {IspJobKind::BlankCheck, QStringLiteral("查空")},
      {IspJobKind::UnprotectRead, QStringLiteral("解除读保护…")},
      {IspJobKind::ProtectRead, QStringLiteral("设置读保护")},
      {IspJobKind::UnprotectWrite, QStringLiteral("解除写保护")},
      {IspJobKind::Go, QStringLiteral("运行程序")},
  };
  for (const auto& j : jobs) {
    QAction* a = JobsMenu->addAction(j.second);
    const IspJobKind kind = j.first;
    connect(a, &QAction::triggered, this, [this, kind] { JobsMenuTriggered(kind); });
    jobActions_.insert(kind, a);
  }
  JobsMenu->addSeparator();
  stcOptionsAction_ = JobsMenu->addAction(QStringLiteral("STC 选项…"));
  connect(stcOptionsAction_, &QAction::triggered, this, [this] { StcOptionsClick(); });
  // LPC: the slower check that reads the whole image back, instead of the
  // part comparing each copy with its RAM.
  VerifyReadbackAction = JobsMenu->addAction(QStringLiteral("LPC 写后校验时全部读回比较"));
  VerifyReadbackAction->setCheckable(true);
  // A reset sequence of the user's own, for adapters wired otherwise
  // (BOOT0 on RTS, inverted lines); empty: the family's usual wiring.
  JobsMenu->addSeparator();
  auto* resetField = new QWidget(JobsMenu);
  auto* resetRow = new QHBoxLayout(resetField);
  resetRow->setContentsMargins(8, 2, 8, 2);
  resetRow->addWidget(new QLabel(QStringLiteral("复位序列"), resetField));
  EditResetSeq = new QLineEdit(resetField);
  EditResetSeq->setObjectName(QStringLiteral("EditResetSeq"));
  EditResetSeq->setPlaceholderText(QStringLiteral("rts,dtr,100,-dtr,50,-rts"));
  EditResetSeq->setMinimumWidth(200);
  resetRow->addWidget(EditResetSeq);
  auto* resetAction = new QWidgetAction(JobsMenu);
  resetAction->setDefaultWidget(resetField);
  JobsMenu->addAction(resetAction);
  connect(EditResetSeq, &QLineEdit::textChanged, this, [this] { ResetSeqChange(); });
  ResetSeqChange();
  BitBtnJobs->setMenu(JobsMenu);
  options->addLayout(Row({CheckBox1, BitBtn7, BitBtnJobs}));
  options->addLayout(Row({CheckBox2, CheckBox10, CheckBox11}));
  auto* download = new QHBoxLayout;
  download->addWidget(BitBtn1);
  download->addLayout(options, 1);
  auto* fields = Row({Caption(QStringLiteral("超时值"), p), Edit3, Caption(QStringLiteral("sec"), p)}, false);
  fields->addSpacing(12);
  fields->addWidget(Label11);
  fields->addWidget(Edit4);
  fields->addWidget(Label11Unit);
  fields->addStretch(1);

  auto* right = new QVBoxLayout;
  right->setSpacing(3);
  auto* file = new QHBoxLayout;
  file->addWidget(Edit2, 1);
  file->addWidget(BitBtn2);
  right->addLayout(file);
  right->addLayout(download);
  right->addLayout(fields);

  auto* top = new QHBoxLayout;
  top->setSpacing(8);
  top->addLayout(left, 0);
  top->addLayout(right, 1);

  ProgressBar1 = new QProgressBar(p);
  ProgressBar1->setFixedHeight(16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  RzMarqueeStatus1 = new Marquee(p);

  QVBoxLayout* page = Column(p);
  page->addLayout(top);
  page->addWidget(ProgressBar1);
  page->addWidget(RzMarqueeStatus1);
}

void TMainForm::BuildTerminalPage() {
  QWidget* p = TabSheet2;
  const char* const labels[] = {"串口号", "波特率", "数据位", "停止位", "奇偶位"};
  QComboBox** boxes[] = {&ComboBox1, &ComboBox2, &ComboBox3, &ComboBox4, &ComboBox5};
  auto* port = new QGridLayout;
  port->setHorizontalSpacing(4);
  port->setVerticalSpacing(2);
  for (int i = 0; i < 5; ++i) {
    port->addWidget(Caption(QString::fromUtf8(labels[i]), p), i, 0);
    *boxes[i] = new QComboBox(p);
    port->addWidget(*boxes[i], i, 1);
  }
  ComboBox1->addItems(DefaultPorts());
  ShowWholePortNames(ComboBox1);
  for (const char* s : kSpeeds) ComboBox2->addItem(QString::fromLatin1(s));
  ComboBox2->setCurrentIndex(11);
  ComboBox3->addItems({"5", "6", "7", "8"});
  ComboBox3->setCurrentIndex(3);
  ComboBox4->addItems({"1", "1.5", "2"});
  ComboBox5->addItems({"None", "Odd", "Even", "Mark", "Space"});

  BitBtn3 = new QPushButton(QStringLiteral("打开串口"), p);
  BitBtn3->setLayoutDirection(Qt::RightToLeft);  // glyph to the right of the caption
  BitBtn3->setIcon(QIcon(Image1));
  port->addWidget(BitBtn3, 5, 0, 1, 2);
  CheckBox3 = new QCheckBox(QStringLiteral("DTR"), p);
  CheckBox4 = new QCheckBox(QStringLiteral("RTS"), p);
  port->addLayout(Row({CheckBox3, CheckBox4}), 6, 0, 1, 2);
  port->setRowStretch(7, 1);

  Memo2 = new SendMemo(p);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setText(QStringLiteral("发送区\r\n") + QString::fromLatin1(kMakerWebAddress));
  Memo2->setMinimumSize(120, 60);
  // The page control is as high as its pages' controls need; the memos
  // take what is left instead of asking for room of their own.
  Memo2->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
  BitBtn_TX = new QPushButton(QStringLiteral("发送(&S)"), p);
  BitBtn6 = new QPushButton(QStringLiteral("读入文件"), p);
  BitBtn8 = new QPushButton(QStringLiteral("清空发送区"), p);
  CheckBox5 = new QCheckBox(QStringLiteral("定时发送"), p);
  Edit1 = new DigitsEdit(QStringLiteral("1000"), p);
  Edit1->setMaxLength(4);
  Edit1->setToolTip(QStringLiteral("1 ~ 9999"));
  Label8 = Caption(QStringLiteral("ms"), p);
  auto* send = new QVBoxLayout;
  send->setSpacing(2);
  send->addWidget(Memo2, 1);
  send->addLayout(Row({BitBtn_TX, BitBtn6, BitBtn8}, false));
  send->addLayout(Row({CheckBox5, Edit1, Label8}));

  CheckHexTXD = new QCheckBox(QStringLiteral("HEX发送"), p);
  CheckBox7 = new QCheckBox(QStringLiteral("发送新行"), p);
  CheckBox6 = new QCheckBox(QStringLiteral("按键即发"), p);
  CheckBox6->setToolTip(QStringLiteral("选用后：\n于发送区窗口按键即发送该键值"));
  CheckBox8 = new QCheckBox(QStringLiteral("发送后清空发送区"), p);
  CheckHexRXD = new QCheckBox(QStringLiteral("HEX显示"), p);
  BitBtn5 = new QPushButton(QStringLiteral("清空接收区"), p);
  BitBtn9 = new QPushButton(QStringLiteral("保存接收区"), p);
  CheckBox9 = new QCheckBox(QStringLiteral("中转桥"), p);
  BitBtn10 = new QPushButton(QStringLiteral("帮助"), p);
  BitBtn10->setToolTip(QStringLiteral("DB9串口信号线定义"));
  auto* options = new QVBoxLayout;
  options->setSpacing(1);
  for (QWidget* w : std::initializer_list<QWidget*>{CheckHexTXD, CheckBox7, CheckBox6, CheckBox8, CheckHexRXD})
    options->addWidget(w);
  options->addStretch(1);
  options->addLayout(Row({BitBtn5, BitBtn9}, false));
  options->addLayout(Row({CheckBox9, BitBtn10}, false));

  auto* page = new QHBoxLayout(p);
  page->setContentsMargins(4, 4, 4, 4);
  page->setSpacing(6);
  page->addLayout(port, 0);
  page->addLayout(send, 1);
  page->addLayout(options, 0);
}

void TMainForm::BuildPrinterPage() {
  QWidget* p = TabSheet3;
  EscImage = SamplePrintPicture();
  ESC_IMG = new QLabel(p);
  ESC_IMG->setAlignment(Qt::AlignCenter);
  ESC_IMG->setFrameShape(QFrame::Box);
  ESC_IMG->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  ESC_IMG->setMinimumSize(120, 80);
  ESC_IMG->setPixmap(QPixmap::fromImage(EscImage).scaled(160, 110, Qt::KeepAspectRatio));
  BitBtn11 = new QPushButton(QStringLiteral("打开图片"), p);
  auto* picture = new QVBoxLayout;
  picture->setSpacing(3);
  picture->addWidget(ESC_IMG, 1);
  picture->addWidget(BitBtn11);

  ESC_STA = new SendMemo(p);
  ESC_STA->setText(QStringLiteral("1B 40\r\n1B 33 00"));
  ESC_END = new SendMemo(p);
  ESC_END->setText(QStringLiteral("1A 0C 00"));
  for (SendMemo* m : {ESC_STA, ESC_END}) {
    m->setMinimumSize(130, 40);
    m->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
  }
  auto* commands = new QVBoxLayout;
  commands->setSpacing(2);
  commands->addWidget(Caption(QStringLiteral("前段指令(初始化)"), p));
  commands->addWidget(ESC_STA, 1);
  commands->addWidget(Caption(QStringLiteral("后段指令(进纸)"), p));
  commands->addWidget(ESC_END, 1);

  ComboBox8 = new QComboBox(p);
  ComboBox8->addItems({QStringLiteral("标签打印机"), QStringLiteral("小票打印机")});
  Button3 = new QPushButton(QStringLiteral("生成条码数据"), p);
  Button4 = new QPushButton(QStringLiteral("生成二维码数据"), p);
  Button1 = new QPushButton(QStringLiteral("图片生成光栅位图数据 + 打印"), p);
  Button1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Expanding);
  auto* actions = new QVBoxLayout;
  actions->setSpacing(3);
  for (QWidget* w : std::initializer_list<QWidget*>{ComboBox8, Button3, Button4, Button1}) actions->addWidget(w);

  auto* page = new QHBoxLayout(p);
  page->setContentsMargins(4, 4, 4, 4);
  page->setSpacing(6);
  page->addLayout(picture, 1);
  page->addLayout(commands, 1);
  page->addLayout(actions, 0);
}

void TMainForm::BuildAboutPage() {
  Memo6 = new QPlainTextEdit(TabSheet4);
  Memo6->setReadOnly(true);
  Memo6->setPlainText(QString(AboutText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  // As high as the tallest page: the page control keeps one height.
  Memo6->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
  auto* page = new QVBoxLayout(TabSheet4);
  page->setContentsMargins(2, 2, 2, 2);
  page->addWidget(Memo6);
}

void TMainForm::BuildStatusBar() {
  auto* strip = new QHBoxLayout;
  strip->setContentsMargins(0, 0, 0, 0);
  strip->setSpacing(0);
  StatusBar1 = new ClickableLabel(centralWidget());
  StatusBar1->setFrameShape(QFrame::StyledPanel);
  auto* panels = new QHBoxLayout(StatusBar1);
  panels->setContentsMargins(2, 1, 2, 1);
  panels->setSpacing(2);
  const char* const initial[] = {"", "S:0", "R:0", "12:00:00"};
  for (int i = 0; i < 4; ++i) {
    StatusPanel[i] = i == 0 ? new ElidedLabel(StatusBar1) : new QLabel(QString::fromLatin1(initial[i]), StatusBar1);
    StatusPanel[i]->setFrameShape(QFrame::Panel);
    StatusPanel[i]->setFrameShadow(QFrame::Sunken);
    // Panel 0 keeps the mouse for its tooltip; a press still goes on to
    // the strip, as a label does not take it.
    if (i != 0) StatusPanel[i]->setAttribute(Qt::WA_TransparentForMouseEvents);
    panels->addWidget(StatusPanel[i], i == 0 ? 1 : 0);
  }
  Image5 = new ClickableLabel(centralWidget());
  Image5->setPixmap(LinkPicture());
  Image5->setAlignment(Qt::AlignCenter);
  Image5->setFixedWidth(60);
  Image5->setCursor(Qt::PointingHandCursor);
  strip->addWidget(StatusBar1, 1);
  strip->addWidget(Image5, 0);
  static_cast<QVBoxLayout*>(centralWidget()->layout())->addLayout(strip);
}

void TMainForm::SetFontScale(double scale) {
  // The text's font is 16 px; the download button's caption is larger.
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei"),
                    QStringLiteral("Noto Sans CJK SC")});
  font.setPixelSize(qRound(16 * scale));
  setFont(font);
  QFont big = font;
  big.setPixelSize(qRound(18 * scale));
  big.setBold(true);
  BitBtn1->setFont(big);
  // Panels at least as wide as the window definition's, and wide enough for
  // every digit a counter can show.
  const QFontMetrics fm(font);
  const int pad = 2 * StatusPanel[0]->frameWidth() + 8;
  const int widths[] = {150, 65, 65, 128};
  const QString widest[] = {QString(), QStringLiteral("S:-2147483648"), QStringLiteral("R:-2147483648"),
                            QStringLiteral("00:00:00")};
  // Panel 0 only asks for its width: a long status is cut, the counters
  // always get theirs.
  static_cast<ElidedLabel*>(StatusPanel[0])->setPreferredWidth(widths[0]);
  // The counters grow with their digits (never cut), the clock holds its own.
  for (int i = 1; i < 3; ++i) {
    panelBase_[i] = widths[i];
    FitCounter(i);
  }
  StatusPanel[3]->setMinimumWidth(std::max(widths[3], fm.horizontalAdvance(widest[3]) + pad));
  // The strip is a label holding the panels; its own hint knows nothing of them.
  StatusBar1->setFixedHeight(StatusPanel[3]->sizeHint().height() + 4);
  // The window definition's 600 x 502 unless the text needs more.
  for (QWidget* w : findChildren<QWidget*>())
    if (w->layout()) w->layout()->invalidate();
  if (auto* l = layout()) l->activate();
  const QSize needed = minimumSizeHint().expandedTo(QSize(600, 502));
  setMinimumSize(needed);
  if (width() < needed.width() || height() < needed.height()) resize(size().expandedTo(needed));
}

void TMainForm::ConnectHandlers() {
  ComDriver_->OnReceiveData = [this](TKRNCommDriver* s, const uint8_t* d, int32_t n) { ComDriverReceiveData(s, d, n); };
  ComDriver_->OnDeviceLost = [this](TKRNCommDriver*) { ComDriverDeviceLost(); };
  KRNCommDriver1->OnReceiveData = [this](TKRNCommDriver* s, const uint8_t* d, int32_t n) {
    KRNCommDriver1ReceiveData(s, d, n);
  };

  connect(RzPageControl1, &QTabWidget::currentChanged, this, [this] { RzPageControl1Change(); });
  connect(BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
  for (QComboBox* c : {ComboBox1, ComboBox2, ComboBox3, ComboBox4, ComboBox5})
    connect(c, qOverload<int>(&QComboBox::activated), this, [this] { ComboBox1Change(); });
  connect(CheckBox3, &QCheckBox::clicked, this, [this] { CheckBox3Click(); });
  connect(CheckBox4, &QCheckBox::clicked, this, [this] { CheckBox4Click(); });
  connect(BitBtn10, &QPushButton::clicked, this, [this] { BitBtn10Click(); });
  connect(Image3, &ClickableLabel::clicked, this, [this] { Image3Click(); });
  connect(StatusBar1, &ClickableLabel::clicked, this, [this] { StatusBar1Click(); });
  connect(Image5, &ClickableLabel::clicked, this, [this] { Image4Click(); });
  connect(RzMarqueeStatus1, &Marquee::clicked, this, [this] { RzMarqueeStatus1Click(); });

  // Terminal transmit and receive.
  connect(BitBtn_TX, &QPushButton::clicked, this, [this] { BitBtn_TXClick(); });
  connect(CheckHexTXD, &QCheckBox::clicked, this, [this] { CheckHexTXDClick(); });
  connect(CheckBox5, &QCheckBox::clicked, this, [this] { CheckBox5Click(); });
  connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  connect(Edit1, &QLineEdit::textChanged, this, [this] { Edit1Change(Edit1); });
  connect(Edit4, &QLineEdit::textChanged, this, [this] { Edit1Change(Edit4); });
  for (SendMemo* m : {Memo2, ESC_STA, ESC_END})
    m->OnKeyDown = [this](int vk) { Memo2KeyDown(vk); };
  connect(BitBtn6, &QPushButton::clicked, this, [this] { BitBtn6Click(); });
  connect(BitBtn8, &QPushButton::clicked, this, [this] { BitBtn8Click(); });
  connect(CheckHexRXD, &QCheckBox::clicked, this, [this] { CheckHexRXDClick(); });
  connect(BitBtn5, &QPushButton::clicked, this, [this] { BitBtn5Click(); });
  connect(BitBtn9, &QPushButton::clicked, this, [this] { BitBtn9Click(); });
  connect(CheckBox9, &QCheckBox::clicked, this, [this] { CheckBox9Click(); });
  connect(&USB_Change, &QTimer::timeout, this, [this] { USB_ChangeTimer(); });

  // ISP page.
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(MCUType, qOverload<int>(&QComboBox::activated), this, [this] { MCUTypeChange(); });
  connect(BitBtn7, &QPushButton::clicked, this, [this] { BitBtn7Click(); });
  connect(CheckBox2, &QCheckBox::clicked, this, [this] { CheckBox2Click(); });
  connect(Edit3, &QLineEdit::textChanged, this, [this] { Edit3Change(); });
  connect(ComboBox6, qOverload<int>(&QComboBox::activated), this, [this] { ComboBox6Change(); });
  connect(ComboBox7, qOverload<int>(&QComboBox::activated), this, [this] { ComboBox7Change(); });
  connect(&TimerSec, &QTimer::timeout, this, [this] { TimerSecTimer(); });
  connect(&AutoIspTimer, &QTimer::timeout, this, [this] { AutoIspTimerTimer(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });

  // Printer page.
  connect(BitBtn11, &QPushButton::clicked, this, [this] { BitBtn11Click(); });
  connect(ComboBox8, qOverload<int>(&QComboBox::activated), this, [this] { ComboBox8Change(); });
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });

  // Number fields take digits and backspace only.
  for (QLineEdit* e : {Edit1, Edit3, Edit4})
    e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
}

void TMainForm::SetCheck(QCheckBox* box, bool on) {
  // A programmatic change runs the box's click handler as a user's would.
  box->setChecked(on);
  if (box == CheckHexRXD) CheckHexRXDClick();
  else if (box == CheckBox5) CheckBox5Click();
  else if (box == CheckHexTXD) CheckHexTXDClick();
  else if (box == CheckBox2) CheckBox2Click();
  else if (box == CheckBox9) CheckBox9Click();
  else if (box == CheckBox3) CheckBox3Click();
  else if (box == CheckBox4) CheckBox4Click();
  // The other boxes have no click handler: they are read when they matter.
}

void TMainForm::FormCreate() {
  BitBtn3->setIcon(QIcon(Image1));
  setWindowTitle(QStringLiteral("Quillon V2.15  Ostrel"));
  RzMarqueeStatus1->setText(QString::fromUtf8(kMarqueeText));
  ReceiveStore.clear();
  TimerSec.start();  // the clock runs from start-up to the end

  SettingsStore store;
  if (store.KeyExists()) {
    store.Open();
    ReadSettingsFrom(store);
    Terminal->ReadSettings(store);
    // Added after the terminal's values.
    if (store.HasValue(QStringLiteral("Frequency")))
      if (auto v = store.ReadString(QStringLiteral("Frequency")))
        if (v->toDouble() >= 1000 && v->toDouble() <= 100000) EditFreq->setText(*v);
    if (store.HasValue(QStringLiteral("ResetSequence")))
      if (auto v = store.ReadString(QStringLiteral("ResetSequence"))) EditResetSeq->setText(*v);
    ReadWindowPlace(store);
  } else if (!store.CreateKey()) {
    SettingsKeyCreateFailed = true;
    ShowMessage(QStringLiteral("注册软件"), QStringLiteral("未知的原因，创建注册信息失败！"));
    return;  // no status text, no discovery, no family set-up
  }

  SetStatusText(0, QStringLiteral("就绪"));
  ComboBox7->setCurrentIndex(ComboBox2->currentIndex());
  MCUTypeChange();
  USB_ChangeTimer();
  ApplyStoredPort();
  if (CheckBox1->isChecked()) {
    if (!AutoIspTimer.isActive()) AutoIspTimer.start();
    LastFileStamp = FileStampText(Edit2->text());
  }
}

void TMainForm::ReadSettingsFrom(SettingsStore& store) {
  // Each value on its own: one missing or of the wrong type keeps its
  // control's default and costs none of the others.
  auto index = [&](const char* name, QComboBox* box) {
    auto v = store.ReadInteger(QString::fromLatin1(name));
    if (v && *v >= 0 && *v < box->count()) box->setCurrentIndex(*v);
  };
  auto check = [&](const char* name, QCheckBox* box) {
    if (auto v = store.ReadBool(QString::fromLatin1(name))) SetCheck(box, *v);
  };
  auto text = [&](const char* name, const std::function<void(const QString&)>& set) {
    const QString n = QString::fromLatin1(name);
    if (!store.HasValue(n)) return;  // missing: the default stays
    if (auto v = store.ReadString(n)) set(*v);
  };
  // The position is applied once the ports have been discovered.
  storedPort_ = store.ReadInteger(QStringLiteral("Port"));
  index("BaudRate", ComboBox2);
  index("Data", ComboBox3);
  index("Stop", ComboBox4);
  index("Parity", ComboBox5);
  check("HexRXD", CheckHexRXD);
  check("TimeTXD_ch", CheckBox5);
  text("TimeTXD_v", [&](const QString& t) { Edit1->setText(t); Edit1Change(Edit1); });
  check("HexTXD", CheckHexTXD);
  check("SendNewL", CheckBox7);
  check("KeySend", CheckBox6);
  check("SendClear", CheckBox8);
  text("SendStr", [&](const QString& t) { Memo2->setText(t); });
  index("MCUType", MCUType);
  text("12T", [&](const QString& t) { BitBtn7->setText(t); });
  check("AutoISP", CheckBox1);
  check("AutoRST", CheckBox2);
  text("FileName", [&](const QString& t) { Edit2->setText(t); });
  text("Delay", [&](const QString& t) { Edit3->setText(t); Edit3Change(); });
  text("Delay1", [&](const QString& t) { Edit4->setText(t); Edit1Change(Edit4); });
  // Values added later: a file without them reads as before.
  check("Verify", CheckBox11);
  if (const auto v = store.ReadBool(QStringLiteral("VerifyReadback"))) VerifyReadbackAction->setChecked(*v);
  text("PortName", [&](const QString& t) { storedPortName_ = t; });
  text("PortStable", [&](const QString& t) { storedPortStable_ = t; });
}

void TMainForm::ReadWindowPlace(SettingsStore& store) {
  const auto x = store.ReadInteger(QStringLiteral("WindowLeft"));
  const auto y = store.ReadInteger(QStringLiteral("WindowTop"));
  const auto w = store.ReadInteger(QStringLiteral("WindowWidth"));
  const auto h = store.ReadInteger(QStringLiteral("WindowHeight"));
  if (!x || !y || !w || !h || *w <= 0 || *h <= 0) return;  // never stored: centred as at first start
  // Never smaller than the text needs, nor larger than the screens.
  QRect place(*x, *y, std::max(*w, minimumWidth()), std::max(*h, minimumHeight()));
  QRect screens;
  for (QScreen* s : QGuiApplication::screens()) screens |= s->availableGeometry();
  if (screens.isValid()) {
    place.setSize(place.size().boundedTo(screens.size()).expandedTo(minimumSize()));
    // A place on a screen that is gone (a second monitor unplugged) is
    // moved back onto the screens that are there.
    if (!screens.intersects(place)) place.moveCenter(screens.center());
  }
  setGeometry(place);
  placeRestored_ = true;
  if (store.ReadBool(QStringLiteral("WindowMaximized")).value_or(false))
    setWindowState(windowState() | Qt::WindowMaximized);
}

void TMainForm::ApplyStoredPort() {
  // The adapter's stable link first: it finds the same adapter whatever
  // number it got this time.
  int i = -1;
  const std::string device = storedPortStable_.isEmpty() ? std::string() : DeviceNameOf(storedPortStable_.toStdString());
  for (int k = 0; !device.empty() && i < 0 && k < ComboBox1->count(); ++k)
    if (DeviceNameOf(ComboBox1->itemText(k).toStdString()) == device) i = k;
  if (i < 0) i = storedPortName_.isEmpty() ? -1 : ComboBox1->findText(storedPortName_);
  // A stored position past the list (the list is shorter now) keeps the
  // list's own selection.
  if (i < 0 && storedPort_ && *storedPort_ >= 0 && *storedPort_ < ComboBox1->count()) i = *storedPort_;
  if (i >= 0) {
    ComboBox1->setCurrentIndex(i);
    ComboBox6->setCurrentIndex(i);
  }
}

void TMainForm::FormShow() { RzPageControl1Change(); }

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!shown_) {
    shown_ = true;
    if (!placeRestored_)
      if (auto* screen = QApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    FormShow();
  }
}

void TMainForm::FormClose() {
  SettingsStore store;
  if (!store.KeyExists()) return;  // never created: nothing is written
  store.Open();
  store.WriteInteger(QStringLiteral("Model"), PageIndex());
  store.WriteInteger(QStringLiteral("Port"), ComboBox1->currentIndex());
  store.WriteInteger(QStringLiteral("BaudRate"), ComboBox2->currentIndex());
  store.WriteInteger(QStringLiteral("Data"), ComboBox3->currentIndex());
  store.WriteInteger(QStringLiteral("Stop"), ComboBox4->currentIndex());
  store.WriteInteger(QStringLiteral("Parity"), ComboBox5->currentIndex());
  store.WriteBool(QStringLiteral("HexRXD"), CheckHexRXD->isChecked());
  store.WriteBool(QStringLiteral("TimeTXD_ch"), CheckBox5->isChecked());
  store.WriteString(QStringLiteral("TimeTXD_v"), Edit1->text());
  store.WriteBool(QStringLiteral("HexTXD"), CheckHexTXD->isChecked());
  store.WriteBool(QStringLiteral("SendNewL"), CheckBox7->isChecked());
  store.WriteBool(QStringLiteral("KeySend"), CheckBox6->isChecked());
  store.WriteBool(QStringLiteral("SendClear"), CheckBox8->isChecked());
  store.WriteString(QStringLiteral("SendStr"), Memo2->text());
  store.WriteInteger(QStringLiteral("MCUType"), MCUType->currentIndex());
  store.WriteString(QStringLiteral("12T"), BitBtn7->text());
  store.WriteBool(QStringLiteral("AutoISP"), CheckBox1->isChecked());
  store.WriteBool(QStringLiteral("AutoRST"), CheckBox2->isChecked());
  store.WriteString(QStringLiteral("FileName"), Edit2->text());
  store.WriteString(QStringLiteral("Delay"), Edit3->text());
  store.WriteString(QStringLiteral("Delay1"), Edit4->text());
  store.WriteBool(QStringLiteral("Verify"), CheckBox11->isChecked());
  store.WriteString(QStringLiteral("PortName"), ComboBox1->currentText());
  Terminal->WriteSettings(store);
  store.WriteString(QStringLiteral("Frequency"), EditFreq->text());
  store.WriteString(QStringLiteral("PortStable"),
                    QString::fromStdString(StableNameOf(DeviceNameOf(ComboBox1->currentText().toStdString()))));
  // Only when set: a file without one reads as before.
  if (!EditResetSeq->text().trimmed().isEmpty())
    store.WriteString(QStringLiteral("ResetSequence"), EditResetSeq->text().trimmed());
  if (VerifyReadbackAction->isChecked()) store.WriteBool(QStringLiteral("VerifyReadback"), true);
  // The window's place last: a file from before reads as it did.
  const QRect place = normalGeometry().isValid() ? normalGeometry() : geometry();
  store.WriteInteger(QStringLiteral("WindowLeft"), place.x());
  store.WriteInteger(QStringLiteral("WindowTop"), place.y());
  store.WriteInteger(QStringLiteral("WindowWidth"), place.width());
  store.WriteInteger(QStringLiteral("WindowHeight"), place.height());
  store.WriteBool(QStringLiteral("WindowMaximized"), isMaximized());
  Terminal->WriteLaterSettings(store);
  store.Save();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    closing_ = true;
    FormClose();
  }
  QMainWindow::closeEvent(event);
}

int TMainForm::PageIndex() const { return RzPageControl1->currentIndex(); }

void TMainForm::RzPageControl1Change() {
  switch (PageIndex()) {
    case 0: Memo1->setPlainText(IspPageText()); break;
    case 1: Memo1->setPlainText(TerminalPageText()); break;
    case 2: Memo1->setPlainText(PrinterPageText()); break;
    case 3: Memo1->setPlainText(Memo6->toPlainText().replace(u'\n', QStringLiteral("\r\n"))); break;
    default: break;
  }
  OnPageTextShown();
  // Back on the terminal page, what was received is shown again at once:
  // the area must never show (and "保存接收区" never save) the page text
  // while the counter says there is data.
  if (PageIndex() == 1 && !ReceiveStore.empty()) CheckHexRXDClick();
  if (PageIndex() == 1) keepBoardOutput_ = false;
}

bool TMainForm::ComPort_Open() { return OpenMainPort(false); }

bool TMainForm::OpenMainPort(bool quiet) {
  // A download goes to the port the lists show: a port still open under
  // another name (the ISP list renames without reopening) is closed first.
  if (ComDriver_->IsConnected() && ComDriver_->PortName != ComboBox1->currentText()) {
    PortOpen = true;
    ComPort_Close();
  }
  PortOpen = ComDriver_->IsConnected();
  ComDriver_->PortName = ComboBox1->currentText();
  ComDriver_->setComPortSpeed(static_cast<TComPortBaudRate>(ComboBox2->currentIndex()));
  ComDriver_->setComPortDataBits(static_cast<TComPortDataBits>(ComboBox3->currentIndex()));
  ComDriver_->setComPortStopBits(static_cast<TComPortStopBits>(ComboBox4->currentIndex()));
  ComDriver_->setComPortParity(static_cast<TComPortParity>(ComboBox5->currentIndex()));
  ComDriver_->ReceiveCount = 0;
  if (ComDriver_->Connect()) {
    PortOpen = true;
    lostPortName_.clear();
    const SerialAdapter adapter = AdapterOfPort(ComDriver_->PortName.toStdString());
    portIdentity_ = QString::fromStdString(adapter.Identity());
    portLabel_ = QString::fromStdString(adapter.Label());
    // An unplug notice is history once the port works again.
    if (StatusText(0).startsWith(QStringLiteral("串口已断开"))) SetStatusText(0, QString());
    WatchPortPath(ComDriver_->PortName);
    ShowPortState();
    return true;
  }
  PortOpen = false;
  ShowPortState();
  // The specified box, with the real cause under it: a missing adapter,
  // a missing dialout group and another program on the port need
  // different remedies.
  portOpenError_ = QString::fromStdString(SerialOpenFailureText(ComDriver_->PortName.toStdString()));
  if (!quiet)
    ShowMessage(QStringLiteral("Vortana"),
                QStringLiteral("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。\r\r") +
                    portOpenError_ + MoreCauses(ComDriver_->PortName));
  return false;
}

bool TMainForm::ComPort_Close() {
  // A session that borrowed the terminal's port hands it back open.
  if (lentLine_) {
    GiveBackTerminalPort(true);
    return true;
  }
  keepBoardOutput_ = false;
  if (PortOpen) {
    PortOpen = false;
    ComDriver_->Disconnect();
  }
  ShowPortState();
  repaint();
  return true;
}

void TMainForm::ShowPortState() {
  BitBtn3->setIcon(QIcon(PortOpen ? Image2 : Image1));
  BitBtn3->setText(PortOpen ? QStringLiteral("关闭串口") : QStringLiteral("打开串口"));
}

void TMainForm::ComDriverDeviceLost() {
  // The driver has closed itself; what it read before is shown already.
  lostPortName_ = ComDriver_->PortName;
  PortOpen = false;
  Timer1.stop();
  ShowPortState();
  SetStatusText(0, QStringLiteral("串口已断开 %1").arg(lostPortName_) +
                      (portLabel_.isEmpty() ? QString() : QStringLiteral("，等待 %1 重新连接").arg(portLabel_)));
}

void TMainForm::WatchPortPath(const QString& portName) {
  const QFileInfo path(QString::fromStdString(SerialDevicePath(portName.toStdString())));
  QStringList dirs{path.absolutePath()};
  // A link may lead elsewhere (/dev/serial/by-id -> /dev/ttyUSB0, a user's
  // link -> /dev/pts/3): when the device returns, the target's folder changes.
  if (path.isSymLink()) dirs << QFileInfo(path.symLinkTarget()).absolutePath();
  const QString canonical = path.canonicalFilePath();
  if (!canonical.isEmpty()) dirs << QFileInfo(canonical).absolutePath();
  for (const QString& d : dirs)
    if (QFileInfo(d).isDir() && !devWatch_.directories().contains(d)) devWatch_.addPath(d);
}

void TMainForm::ReopenLostPort(const QStringList& presentPorts) {
  if (lostPortName_.isEmpty()) return;
  if (PortOpen) {
    lostPortName_.clear();  // reopened by the user
    return;
  }
  // The same adapter under whatever number it got; another adapter that
  // took the old number is not the user's board.
  // Without an identity (an on-board UART, a pty) the same name counts.
  QString name = lostPortName_;
  if (!portIdentity_.isEmpty())
    name = QString::fromStdString(ReopenCandidate(lostPortName_.toStdString(), portIdentity_.toStdString()));
  else if (!presentPorts.contains(name))
    return;
  if (name.isEmpty()) return;
  const int i = ComboBox1->findText(name);
  if (i < 0) return;
  ComboBox1->setCurrentIndex(i);
  ComboBox6->setCurrentIndex(i);
  const QString lost = lostPortName_;
  if (!OpenMainPort(true)) {
    lostPortName_ = lost;  // not ready yet; the next device change tries again
    return;
  }
  // As the open button leaves it: the boxes' lines, timed sending.
  CheckBox3Click();
  CheckBox4Click();
  CheckBox5Click();
  SetStatusText(0, QStringLiteral("串口已重新连接 %1").arg(name));
}

// What the doctor sees beyond the open error itself (which already names a
// missing device or the holder): a braille daemon, a modem manager, a group.
QString TMainForm::MoreCauses(const QString& port) const {
  QString more;
  for (const PortFinding& f : DiagnosePort(port.toStdString()))
    if (f.kind != PortFinding::Kind::Missing && f.kind != PortFinding::Kind::Holder)
      more += QStringLiteral("\r") + QString::fromStdString(f.cause + "\r  " + f.remedy);
  return more;
}

QString TMainForm::PortDoctorText() const {
  const std::string port = ComboBox1->currentText().toStdString();
  return QString::fromStdString(DoctorReport(port, DiagnosePort(port)));
}

void TMainForm::BitBtn3Click() {
  if (BitBtn3->text() == QStringLiteral("打开串口")) {
    if (!ComPort_Open()) return;
    CheckBox3Click();
    CheckBox4Click();
    CheckBox5Click();
    SendCounter = 0;
    SetStatusText(1, QStringLiteral("S:0"));
  } else if (lentLine_) {
    GiveBackTerminalPort(false);  // closed mid-session: closed it stays
  } else {
    ComPort_Close();
  }
}

void TMainForm::ComboBox1Change() {
  lentLine_.reset();  // a line chosen during a session is the terminal's from now on
  // Another port chosen while an unplugged one is waited for: the wait and
  // its log end, as a close would end them.
  if (WaitingForLostPort() && sender() == ComboBox1 && ComboBox1->currentText() != lostPortName_) {
    lostPortName_.clear();
    if (Terminal && Terminal->Logging()) Terminal->StopLog();
  }
  ComboBox6->setCurrentIndex(ComboBox1->currentIndex());
  ComboBox7->setCurrentIndex(ComboBox2->currentIndex());
  if (PortOpen) {
    ComPort_Close();
    ComPort_Open();
  }
}

void TMainForm::CheckBox3Click() {
  if (PortOpen) ComDriver_->SetDtr(CheckBox3->isChecked());
}

void TMainForm::CheckBox4Click() {
  if (PortOpen) ComDriver_->SetRts(CheckBox4->isChecked());
}

void TMainForm::BitBtn10Click() {
  Panel1->setVisible(!Panel1->isVisible());
  Memo1->setVisible(!Panel1->isVisible());
}

void TMainForm::Image3Click() {
  Panel1->hide();
  Memo1->show();
}

void TMainForm::StatusBar1Click() {
  OpenUrl(QStringLiteral("mailto:%1?cc=&bcc=&subject=%2&body=%3")
              .arg(QString::fromLatin1(kMakerMailAddress), QStringLiteral("欢迎使用 Vortana"),
                   QStringLiteral("测试报告:%0d")));
  Image4Click();
}

void TMainForm::Image4Click() { OpenUrl(QString::fromLatin1(kMakerWebAddress)); }

void TMainForm::RzMarqueeStatus1Click() {
  const QColor window = palette().color(QPalette::Window);
  const QColor menuText = palette().color(QPalette::WindowText);
  RzMarqueeStatus1->setFillColor(RzMarqueeStatus1->fillColor() == window ? menuText : window);
}

void TMainForm::SetStatusText(int panel, const QString& text) {
  if (panel < 0 || panel >= 4) return;
  StatusPanel[panel]->setText(text);
  if (panel == 0) StatusPanel[0]->setToolTip(text);  // a long status is cut in the panel
  if (panel == 1 || panel == 2) FitCounter(panel);
}

void TMainForm::FitCounter(int panel) {
  QLabel* l = StatusPanel[panel];
  // The window's font: the panels take it, though perhaps not yet. A framed
  // label indents its text by half an 'x' on each side.
  const QFontMetrics fm(font());
  const int need = fm.horizontalAdvance(l->text()) + fm.horizontalAdvance(QLatin1Char('x')) + 2 * l->frameWidth() + 8;
  const int w = std::max(panelBase_[panel], need);
  if (l->minimumWidth() != w) l->setMinimumWidth(w);
}

QString TMainForm::StatusText(int panel) const {
  return panel >= 0 && panel < 4 ? StatusPanel[panel]->text() : QString();
}

QString TMainForm::DialogFolder(const QString& which, const QString& fallback) const {
  const auto it = dialogFolders_.find(which);
  return it != dialogFolders_.end() ? it->second : fallback;
}

void TMainForm::RememberDialogFolder(const QString& which, const QString& chosenFile) {
  dialogFolders_[which] = QFileInfo(chosenFile).absolutePath();
}

void TMainForm::Sleep(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

// ---- IspHost ----

void TMainForm::ShowStatus(const QString& text) { SetStatusText(0, text); }
void TMainForm::AddLog(const QString& line) { Memo1->appendLine(line); Memo1->scrollToEnd(); OnPageTextShown(); }
void TMainForm::SetLogText(const QString& text) { Memo1->setPlainText(text); OnPageTextShown(); }
void TMainForm::SetProgressMax(int max) { ProgressBar1->setMaximum(std::max(1, max)); }
void TMainForm::SetProgress(int position) { ProgressBar1->setValue(std::min(position, ProgressBar1->maximum())); }
void TMainForm::SetSizeLabel(const QString& text) { Label10->setText(text); }
void TMainForm::SessionStarted(const IspJob& job) {
  sessionKind_ = job.kind;
  BitBtn1->setEnabled(false);
  BitBtnJobs->setEnabled(false);
  // The STC programmer opens the port on its own; while it holds it, the
  // port button shows it open.
  if (MCUType->currentIndex() > 6) {
    BitBtn3->setIcon(QIcon(Image2));
    BitBtn3->setText(QStringLiteral("关闭串口"));
  }
}

bool LoadQtChineseTexts(QCoreApplication& app) {
  static QTranslator* texts = nullptr;
  if (texts) return true;
  auto* t = new QTranslator(&app);
  if (!t->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"), QStringLiteral("_"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete t;
    return false;
  }
  app.installTranslator(t);
  texts = t;
  return true;
}

// Room for an ellipsis and a little text; the rest of the room is what the
// counters beside it leave.
QSize ClickableLabel::minimumSizeHint() const {
  const QSize own = QLabel::minimumSizeHint();
  if (!layout()) return own;
  const int frame = 2 * frameWidth();
  return own.expandedTo(layout()->totalMinimumSize() + QSize(frame, frame));
}

QSize ElidedLabel::minimumSizeHint() const {
  const int w = fontMetrics().horizontalAdvance(QStringLiteral("正在…")) + 2 * frameWidth() + 8;
  return QSize(std::max(w, minimumWidth()), QLabel::minimumSizeHint().height());
}

QSize ElidedLabel::sizeHint() const {
  return QSize(std::max(preferred_, minimumSizeHint().width()), QLabel::sizeHint().height());
}

void ElidedLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  drawFrame(&p);
  const QRect r = contentsRect().adjusted(margin() + 2, 0, -margin() - 2, 0);
  p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
  p.drawText(r, Qt::AlignVCenter | Qt::AlignLeft, fontMetrics().elidedText(text(), Qt::ElideRight, r.width()));
}

void TMainForm::SessionEnded(const IspResult& result) {
  const bool downloaded = result.ok && sessionKind_ == IspJobKind::Download;
  sessionKind_.reset();
  if (lentLine_) GiveBackTerminalPort(true);  // an engine that ended without letting go
  // The page is usable again, whatever the family, and the port button
  // tells the main port's state.
  ShowPortState();
  ComboBox1->setEnabled(true);
  ComboBox2->setEnabled(true);
  Memo1->setEnabled(true);
  BitBtn2->setEnabled(true);
  BitBtn1->setEnabled(true);
  BitBtnJobs->setEnabled(true);
  QueueDownloadOfNewerBuild();
  // A download of the automatic re-download puts the window back out of the way.
  if (downloaded && CheckBox1->isChecked()) {
    setWindowFlag(Qt::WindowStaysOnTopHint, false);
    showMinimized();
  }
  // The options dialog opens on the STC family last met.
  if (MCUType->currentIndex() > 6 && !result.partName.isEmpty())
    stcFamily_ = static_cast<int>(StcFamilyOfPart(result.partName));
  // The session's own last word stands on the status line, not a step's.
  if (!result.cause.isEmpty()) SetStatusText(0, result.cause);
}

void TMainForm::ShowMessage(const QString& caption, const QString& text) {
  if (ShowMessageHook) ShowMessageHook(caption, text);
}
IspJob TMainForm::FillJob(IspJob job) const {
  job.port = ComboBox1->currentText();
  job.line.baudRate = ComboBox2->currentText().toUInt();
  job.speed = job.line.baudRate;
  job.autoReset = CheckBox2->isChecked();
  job.resetMode2 = CheckBox10->isChecked();
  job.resetDelayMs = IspJob::ResetDelayOf(Edit4->text());
  job.connectTimeoutS = IspJob::ConnectTimeoutOf(Edit3->text());
  job.lpcLinePauseMs = IspJob::LinePauseOf(Edit3->text());
  const QString crystal = EditCrystal->text().trimmed();
  if (!crystal.isEmpty()) job.lpcCrystalKHz = crystal.toLatin1();
  job.stcDoubleSpeed = BitBtn7->text() == QStringLiteral("6T");
  job.verify = CheckBox11->isChecked();
  job.verifyReadback = VerifyReadbackAction->isChecked();
  job.autoDownload = CheckBox1->isChecked();
  job.unprotectReadHint = QStringLiteral("用 更多 → 解除读保护… 解除");
  return job;
}
