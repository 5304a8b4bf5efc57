#include "app/MainForm.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QThread>
#include <QUrl>

#include "app/Marquee.h"
#include "app/PageTexts.h"
#include "app/Pictures.h"
#include "app/PortDiscovery.h"
#include "isp/lpc/LPC.h"
#include "isp/stc/STC.h"
#include "isp/stm32/Stm32Engine.h"
#include "terminal/ReceiveDisplay.h"
#include "terminal/TerminalOptions.h"
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
  if (OnKeyDown) OnKeyDown(VirtualKeyCode(e->key(), e->text()));
  QPlainTextEdit::keyPressEvent(e);
}

int VirtualKeyCode(int key, const QString& text) {
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

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent) {
  ComDriver_ = new TKRNCommDriver(this);
  KRNCommDriver1 = new TKRNCommDriver(this);

  ShowMessage = [this](const QString& caption, const QString& text) {
    QMessageBox box(caption == QStringLiteral("注册软件") ? QMessageBox::Warning : QMessageBox::Information,
                    caption, text, QMessageBox::Ok, this);
    if (caption == QStringLiteral("注册软件")) box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
  };
  if (MessageSink) ShowMessage = MessageSink;
  ChooseOpenFile = [this](const QString& title, const QString& filter, const QString& start) {
    return QFileDialog::getOpenFileName(this, title, start, filter);
  };
  ChooseSaveFile = [this](const QString& title, const QString& filter, const QString& start) {
    return QFileDialog::getSaveFileName(this, title, start, filter);
  };
  OpenUrl = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  ListSerialPorts = [] { return DiscoverPorts(); };

  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Micro Hei")});
  font.setPixelSize(14);
  setFont(font);
  resize(600, 502);
  setMinimumSize(600, 502);

  auto* central = new QWidget(this);
  setCentralWidget(central);

  Memo1 = new OutputView(central);
  Memo1->setGeometry(0, 0, 600, 280);

  Panel1 = new QWidget(central);
  Panel1->setGeometry(0, 0, 600, 280);
  Panel1->setAutoFillBackground(true);
  Image3 = new ClickableLabel(Panel1);
  Image3->setPixmap(ConnectorPinout());
  Image3->setGeometry(20, 15, 560, 250);
  Panel1->hide();

  RzPageControl1 = new QTabWidget(central);
  RzPageControl1->setGeometry(0, 280, 600, 200);
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

  TimerSec.setInterval(1000);
  AutoIspTimer.setInterval(200);
  USB_Change.setInterval(1000);
  Timer1.setInterval(1000);

  Terminal = new TerminalOptions(*this);
  ConnectHandlers();
  FormCreate();
}

void TMainForm::BuildIspPage() {
  QWidget* p = TabSheet1;
  auto* lblModel = new QLabel(QStringLiteral("芯片型号"), p);
  lblModel->setGeometry(6, 6, 60, 22);
  MCUType = new QComboBox(p);
  for (const char* m : kModels) MCUType->addItem(QString::fromUtf8(m));
  MCUType->setGeometry(70, 4, 170, 24);
  MCUType->setCurrentIndex(6);

  auto* lblPort = new QLabel(QStringLiteral("串口号"), p);
  lblPort->setGeometry(6, 34, 60, 22);
  ComboBox6 = new QComboBox(p);
  ComboBox6->addItems(DefaultPorts());
  ComboBox6->setGeometry(70, 32, 170, 24);
  auto* lblSpeed = new QLabel(QStringLiteral("波特率"), p);
  lblSpeed->setGeometry(6, 62, 60, 22);
  ComboBox7 = new QComboBox(p);
  for (const char* s : kSpeeds) ComboBox7->addItem(QString::fromLatin1(s));
  ComboBox7->setCurrentIndex(11);
  ComboBox7->setGeometry(70, 60, 170, 24);

  Edit2 = new QLineEdit(DefaultFirmwareName(), p);
  Edit2->setReadOnly(true);
  Edit2->setEnabled(false);
  Edit2->setGeometry(250, 4, 300, 24);
  BitBtn2 = new QPushButton(QStringLiteral("..."), p);
  BitBtn2->setToolTip(QStringLiteral("选择目标文件"));
  BitBtn2->setGeometry(554, 4, 34, 24);

  BitBtn1 = new QPushButton(QStringLiteral("下载"), p);
  BitBtn1->setGeometry(250, 32, 96, 52);
  QFont big = BitBtn1->font();
  big.setPixelSize(18);
  big.setBold(true);
  BitBtn1->setFont(big);

  CheckBox1 = new QCheckBox(QStringLiteral("自动上载"), p);
  CheckBox1->setToolTip(QStringLiteral("选用后：\n目标文件(*.bin或*.hex)更新时，自动进行上载操作。"));
  CheckBox1->setGeometry(354, 32, 96, 24);
  CheckBox2 = new QCheckBox(QStringLiteral("自动复位"), p);
  CheckBox2->setChecked(true);
  CheckBox2->setGeometry(354, 60, 96, 24);
  CheckBox10 = new QCheckBox(QStringLiteral("模式2"), p);
  CheckBox10->setGeometry(454, 60, 70, 24);
  // The hint describes the reset wiring the box selects.
  auto wiringHint = [this] {
    CheckBox10->setToolTip(CheckBox10->isChecked()
                               ? QStringLiteral("开始 RTS#输出低\n复位 100ms\n然后 DTR#输出低\n结束复位，\n进入BOOT开始ISP")
                               : QStringLiteral("开始 DTR#输出低\n然后 RTS#输出低\n复位 500ms\n然后 DTR#输出高\n结束复位，\n进入BOOT开始ISP"));
  };
  wiringHint();
  connect(CheckBox10, &QCheckBox::toggled, this, wiringHint);
  BitBtn7 = new QPushButton(QStringLiteral("12T"), p);
  BitBtn7->setToolTip(QStringLiteral(" 6T / 双倍速\n12T / 单倍速"));
  BitBtn7->setGeometry(530, 32, 58, 24);

  // Each number field sits in the blank run of its label's caption; the
  // blanks are widened so the field fits between the words.
  auto fieldInLabel = [p](QLabel* label, QLineEdit* edit, int x, const QString& before, int blanks) {
    QFont f = label->font();
    f.setWordSpacing(8);
    label->setFont(f);
    label->setGeometry(x, 90, 150, 22);
    QFontMetrics fm(f);
    const int start = fm.horizontalAdvance(before);
    const int width = fm.horizontalAdvance(QString(blanks, u' '));
    edit->setParent(p);
    edit->setGeometry(x + start + 2, 89, width - 4, 24);
  };
  auto* lblTimeout = new QLabel(QStringLiteral("超时值       sec"), p);
  Edit3 = new QLineEdit(QStringLiteral("5"));
  Edit3->setMaxLength(2);
  Edit3->setToolTip(QStringLiteral("1 ~ 99"));
  fieldInLabel(lblTimeout, Edit3, 354, QStringLiteral("超时值"), 7);
  Label11 = new QLabel(QStringLiteral("复位时间     ms"), p);
  Edit4 = new QLineEdit(QStringLiteral("500"));
  Edit4->setMaxLength(3);
  Edit4->setToolTip(QStringLiteral("1 ~ 999"));
  fieldInLabel(Label11, Edit4, 466, QStringLiteral("复位时间"), 5);

  Label10 = new QLabel(p);
  Label10->setGeometry(6, 90, 234, 22);
  ProgressBar1 = new QProgressBar(p);
  ProgressBar1->setGeometry(6, 118, 582, 16);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  RzMarqueeStatus1 = new Marquee(p);
  RzMarqueeStatus1->setGeometry(2, 142, 590, 22);
}

void TMainForm::BuildTerminalPage() {
  QWidget* p = TabSheet2;
  const char* const labels[] = {"串口号", "波特率", "数据位", "停止位", "奇偶位"};
  QComboBox** boxes[] = {&ComboBox1, &ComboBox2, &ComboBox3, &ComboBox4, &ComboBox5};
  for (int i = 0; i < 5; ++i) {
    auto* l = new QLabel(QString::fromUtf8(labels[i]), p);
    l->setGeometry(4, 3 + i * 24, 50, 22);
    *boxes[i] = new QComboBox(p);
    (*boxes[i])->setGeometry(54, 2 + i * 24, 94, 22);
  }
  ComboBox1->addItems(DefaultPorts());
  for (const char* s : kSpeeds) ComboBox2->addItem(QString::fromLatin1(s));
  ComboBox2->setCurrentIndex(11);
  ComboBox3->addItems({"5", "6", "7", "8"});
  ComboBox3->setCurrentIndex(3);
  ComboBox4->addItems({"1", "1.5", "2"});
  ComboBox5->addItems({"None", "Odd", "Even", "Mark", "Space"});

  BitBtn3 = new QPushButton(QStringLiteral("打开串口"), p);
  BitBtn3->setLayoutDirection(Qt::RightToLeft);  // glyph to the right of the caption
  BitBtn3->setIcon(QIcon(Image1));
  BitBtn3->setGeometry(4, 122, 144, 24);
  CheckBox3 = new QCheckBox(QStringLiteral("DTR"), p);
  CheckBox3->setGeometry(6, 148, 56, 20);
  CheckBox4 = new QCheckBox(QStringLiteral("RTS"), p);
  CheckBox4->setGeometry(74, 148, 56, 20);

  Memo2 = new SendMemo(p);
  Memo2->setGeometry(154, 2, 278, 116);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setText(QStringLiteral("发送区\r\n") + QString::fromLatin1(kMakerWebAddress));
  BitBtn_TX = new QPushButton(QStringLiteral("发送(&S)"), p);
  BitBtn_TX->setGeometry(154, 122, 90, 24);
  BitBtn6 = new QPushButton(QStringLiteral("读入文件"), p);
  BitBtn6->setGeometry(248, 122, 88, 24);
  BitBtn8 = new QPushButton(QStringLiteral("清空发送区"), p);
  BitBtn8->setGeometry(340, 122, 92, 24);
  CheckBox5 = new QCheckBox(QStringLiteral("定时发送"), p);
  CheckBox5->setGeometry(156, 148, 90, 20);
  Edit1 = new QLineEdit(QStringLiteral("1000"), p);
  Edit1->setMaxLength(4);
  Edit1->setToolTip(QStringLiteral("1 ~ 9999"));
  Edit1->setGeometry(248, 147, 50, 22);
  Label8 = new QLabel(QStringLiteral("ms"), p);
  Label8->setGeometry(302, 148, 24, 20);

  CheckHexTXD = new QCheckBox(QStringLiteral("HEX发送"), p);
  CheckHexTXD->setGeometry(438, 2, 150, 20);
  CheckBox7 = new QCheckBox(QStringLiteral("发送新行"), p);
  CheckBox7->setGeometry(438, 22, 150, 20);
  CheckBox6 = new QCheckBox(QStringLiteral("按键即发"), p);
  CheckBox6->setToolTip(QStringLiteral("选用后：\n于发送区窗口按键即发送该键值"));
  CheckBox6->setGeometry(438, 42, 150, 20);
  CheckBox8 = new QCheckBox(QStringLiteral("发送后清空发送区"), p);
  CheckBox8->setGeometry(438, 62, 150, 20);
  CheckHexRXD = new QCheckBox(QStringLiteral("HEX显示"), p);
  CheckHexRXD->setGeometry(438, 84, 150, 20);
  BitBtn5 = new QPushButton(QStringLiteral("清空接收区"), p);
  BitBtn5->setGeometry(436, 122, 76, 24);
  BitBtn9 = new QPushButton(QStringLiteral("保存接收区"), p);
  BitBtn9->setGeometry(514, 122, 76, 24);
  QFont small = BitBtn5->font();
  small.setPixelSize(12);
  BitBtn5->setFont(small);
  BitBtn9->setFont(small);
  CheckBox9 = new QCheckBox(QStringLiteral("中转桥"), p);
  CheckBox9->setGeometry(438, 148, 80, 20);
  BitBtn10 = new QPushButton(QStringLiteral("帮助"), p);
  BitBtn10->setToolTip(QStringLiteral("DB9串口信号线定义"));
  BitBtn10->setGeometry(530, 146, 60, 22);
}

void TMainForm::BuildPrinterPage() {
  QWidget* p = TabSheet3;
  EscImage = SamplePrintPicture();
  ESC_IMG = new QLabel(p);
  ESC_IMG->setGeometry(4, 2, 200, 136);
  ESC_IMG->setAlignment(Qt::AlignCenter);
  ESC_IMG->setFrameShape(QFrame::Box);
  ESC_IMG->setPixmap(QPixmap::fromImage(EscImage).scaled(196, 132, Qt::KeepAspectRatio));
  BitBtn11 = new QPushButton(QStringLiteral("打开图片"), p);
  BitBtn11->setGeometry(4, 142, 200, 24);

  auto* lblSta = new QLabel(QStringLiteral("前段指令(初始化)"), p);
  lblSta->setGeometry(210, 0, 176, 20);
  ESC_STA = new SendMemo(p);
  ESC_STA->setGeometry(210, 20, 176, 62);
  ESC_STA->setText(QStringLiteral("1B 40\r\n1B 33 00"));
  auto* lblEnd = new QLabel(QStringLiteral("后段指令(进纸)"), p);
  lblEnd->setGeometry(210, 84, 176, 20);
  ESC_END = new SendMemo(p);
  ESC_END->setGeometry(210, 104, 176, 62);
  ESC_END->setText(QStringLiteral("1A 0C 00"));

  ComboBox8 = new QComboBox(p);
  ComboBox8->addItems({QStringLiteral("标签打印机"), QStringLiteral("小票打印机")});
  ComboBox8->setGeometry(392, 2, 196, 24);
  Button3 = new QPushButton(QStringLiteral("生成条码数据"), p);
  Button3->setGeometry(392, 32, 196, 26);
  Button4 = new QPushButton(QStringLiteral("生成二维码数据"), p);
  Button4->setGeometry(392, 62, 196, 26);
  Button1 = new QPushButton(QStringLiteral("图片生成光栅位图数据 + 打印"), p);
  QFont f = Button1->font();
  f.setPixelSize(12);
  Button1->setFont(f);
  Button1->setGeometry(392, 100, 196, 44);
}

void TMainForm::BuildAboutPage() {
  Memo6 = new QPlainTextEdit(TabSheet4);
  Memo6->setReadOnly(true);
  Memo6->setGeometry(2, 2, 588, 164);
  Memo6->setPlainText(QString(AboutText()).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TMainForm::BuildStatusBar() {
  StatusBar1 = new ClickableLabel(centralWidget());
  StatusBar1->setGeometry(0, 480, 540, 22);
  StatusBar1->setFrameShape(QFrame::StyledPanel);
  const int widths[] = {150, 65, 65, 128};
  const char* const initial[] = {"", "S:0", "R:0", "12:00:00"};
  int x = 2;
  for (int i = 0; i < 4; ++i) {
    StatusPanel[i] = new QLabel(QString::fromLatin1(initial[i]), StatusBar1);
    StatusPanel[i]->setGeometry(x, 1, widths[i] - 2, 20);
    StatusPanel[i]->setFrameShape(QFrame::Panel);
    StatusPanel[i]->setFrameShadow(QFrame::Sunken);
    StatusPanel[i]->setAttribute(Qt::WA_TransparentForMouseEvents);
    x += widths[i];
  }
  Image5 = new ClickableLabel(centralWidget());
  Image5->setPixmap(LinkPicture());
  Image5->setGeometry(540, 482, 60, 18);
  Image5->setCursor(Qt::PointingHandCursor);
}

void TMainForm::ConnectHandlers() {
  ComDriver_->OnReceiveData = [this](TKRNCommDriver* s, const uint8_t* d, int32_t n) { ComDriverReceiveData(s, d, n); };
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
  } else if (!store.CreateKey()) {
    SettingsKeyCreateFailed = true;
    ShowMessage(QStringLiteral("注册软件"), QStringLiteral("未知的原因，创建注册信息失败！"));
    return;  // no status text, no discovery, no family set-up
  }

  SetStatusText(0, QStringLiteral("就绪"));
  ComboBox7->setCurrentIndex(ComboBox2->currentIndex());
  MCUTypeChange();
  USB_ChangeTimer();
  if (CheckBox1->isChecked()) {
    if (!AutoIspTimer.isActive()) AutoIspTimer.start();
    LastFileStamp = FileStampText(Edit2->text());
  }
}

void TMainForm::ReadSettingsFrom(SettingsStore& store) {
  // Reading ends silently at the first integer missing or of the wrong type,
  // and at the first text stored as another type.
  auto index = [&](const char* name, QComboBox* box) {
    auto v = store.ReadInteger(QString::fromLatin1(name));
    if (!v) return false;
    if (*v >= 0 && *v < box->count()) box->setCurrentIndex(*v);
    return true;
  };
  auto check = [&](const char* name, QCheckBox* box) {
    auto v = store.ReadBool(QString::fromLatin1(name));
    if (!v) return false;
    SetCheck(box, *v);
    return true;
  };
  auto text = [&](const char* name, const std::function<void(const QString&)>& set) {
    auto v = store.ReadString(QString::fromLatin1(name));
    if (!v) return false;
    set(*v);
    return true;
  };
  if (!index("Port", ComboBox1)) return;
  if (!index("BaudRate", ComboBox2)) return;
  if (!index("Data", ComboBox3)) return;
  if (!index("Stop", ComboBox4)) return;
  if (!index("Parity", ComboBox5)) return;
  if (!check("HexRXD", CheckHexRXD)) return;
  if (!check("TimeTXD_ch", CheckBox5)) return;
  if (!text("TimeTXD_v", [&](const QString& t) { Edit1->setText(t); Edit1Change(Edit1); })) return;
  if (!check("HexTXD", CheckHexTXD)) return;
  if (!check("SendNewL", CheckBox7)) return;
  if (!check("KeySend", CheckBox6)) return;
  if (!check("SendClear", CheckBox8)) return;
  if (!text("SendStr", [&](const QString& t) { Memo2->setText(t); })) return;
  if (!index("MCUType", MCUType)) return;
  if (!text("12T", [&](const QString& t) { BitBtn7->setText(t); })) return;
  if (!check("AutoISP", CheckBox1)) return;
  if (!check("AutoRST", CheckBox2)) return;
  if (!text("FileName", [&](const QString& t) { Edit2->setText(t); })) return;
  if (!text("Delay", [&](const QString& t) { Edit3->setText(t); Edit3Change(); })) return;
  text("Delay1", [&](const QString& t) { Edit4->setText(t); Edit1Change(Edit4); });
}

void TMainForm::FormShow() { RzPageControl1Change(); }

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!shown_) {
    shown_ = true;
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
  Terminal->WriteSettings(store);
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
}

bool TMainForm::ComPort_Open() {
  PortOpen = ComDriver_->IsConnected();
  ComDriver_->PortName = ComboBox1->currentText();
  ComDriver_->setComPortSpeed(static_cast<TComPortBaudRate>(ComboBox2->currentIndex()));
  ComDriver_->setComPortDataBits(static_cast<TComPortDataBits>(ComboBox3->currentIndex()));
  ComDriver_->setComPortStopBits(static_cast<TComPortStopBits>(ComboBox4->currentIndex()));
  ComDriver_->setComPortParity(static_cast<TComPortParity>(ComboBox5->currentIndex()));
  ComDriver_->ReceiveCount = 0;
  if (ComDriver_->Connect()) {
    PortOpen = true;
    BitBtn3->setIcon(QIcon(Image2));
    return true;
  }
  ShowMessage(QStringLiteral("Vortana"),
              QStringLiteral("当前串口号已经被占用，或其它错误 ！\r请选择其它串口，或检查串口设置是否正确。"));
  return false;
}

bool TMainForm::ComPort_Close() {
  BitBtn3->setIcon(QIcon(Image1));
  repaint();
  if (PortOpen) {
    PortOpen = false;
    ComDriver_->Disconnect();
  }
  return true;
}

void TMainForm::BitBtn3Click() {
  if (BitBtn3->text() == QStringLiteral("打开串口")) {
    if (!ComPort_Open()) return;
    BitBtn3->setText(QStringLiteral("关闭串口"));
    CheckBox3Click();
    CheckBox4Click();
    CheckBox5Click();
    SendCounter = 0;
    SetStatusText(1, QStringLiteral("S:0"));
  } else {
    BitBtn3->setText(QStringLiteral("打开串口"));
    ComPort_Close();
  }
}

void TMainForm::ComboBox1Change() {
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
  if (panel >= 0 && panel < 4) StatusPanel[panel]->setText(text);
}

QString TMainForm::StatusText(int panel) const {
  return panel >= 0 && panel < 4 ? StatusPanel[panel]->text() : QString();
}

void TMainForm::Sleep(int ms) { QThread::msleep(static_cast<unsigned long>(ms)); }

// ---- IspHost ----

void TMainForm::ShowStatus(const QString& text) { SetStatusText(0, text); }
void TMainForm::AddLog(const QString& line) { Memo1->appendLine(line); Memo1->scrollToEnd(); OnPageTextShown(); }
void TMainForm::SetLogText(const QString& text) { Memo1->setPlainText(text); OnPageTextShown(); }
void TMainForm::SetProgressMax(int max) { ProgressBar1->setMaximum(std::max(1, max)); }
void TMainForm::SetProgress(int position) { ProgressBar1->setValue(std::min(position, ProgressBar1->maximum())); }
void TMainForm::SetSizeLabel(const QString& text) { Label10->setText(text); }
void TMainForm::SetDownloadEnabled(bool on) { BitBtn1->setEnabled(on); }
bool TMainForm::DownloadEnabled() const { return BitBtn1->isEnabled(); }
void TMainForm::SetPortListsEnabled(bool on) {
  ComboBox1->setEnabled(on);
  ComboBox2->setEnabled(on);
}
void TMainForm::SetPortGlyph(bool open) { BitBtn3->setIcon(QIcon(open ? Image2 : Image1)); }
void TMainForm::SetLogAndChooserEnabled(bool on) {
  Memo1->setEnabled(on);
  BitBtn2->setEnabled(on);
}
void TMainForm::EndAutoDownload() {
  setWindowFlag(Qt::WindowStaysOnTopHint, false);
  showMinimized();
}
bool TMainForm::AutoDownload() const { return CheckBox1->isChecked(); }
bool TMainForm::AutoReset() const { return CheckBox2->isChecked(); }
bool TMainForm::ResetMode2() const { return CheckBox10->isChecked(); }
QString TMainForm::TimeoutText() const { return Edit3->text(); }
QString TMainForm::ResetDelayText() const { return Edit4->text(); }
QString TMainForm::ClockModeCaption() const { return BitBtn7->text(); }
QString TMainForm::PortNameText() const { return ComboBox1->currentText(); }
QString TMainForm::FirmwareFileName() const { return Edit2->text(); }
