// Only the kernel's terminal headers here: <termios.h> must not be included
// in this file (its definitions clash with <asm/termbits.h>).
#include "platform/Termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstring>

static_assert(sizeof(Termios2Data) == sizeof(struct termios2), "termios2 layout");
static_assert(sizeof(((struct termios2*)nullptr)->c_cc) == sizeof(((Termios2Data*)nullptr)->cc),
              "termios2 control characters");

namespace {

void ToKernel(const Termios2Data& in, struct termios2& k) {
  std::memset(&k, 0, sizeof k);
  k.c_iflag = in.iflag;
  k.c_oflag = in.oflag;
  k.c_cflag = in.cflag;
  k.c_lflag = in.lflag;
  k.c_line = in.line;
  std::memcpy(k.c_cc, in.cc, sizeof k.c_cc);
  k.c_ispeed = in.ispeed;
  k.c_ospeed = in.ospeed;
}

void FromKernel(const struct termios2& k, Termios2Data& out) {
  out.iflag = k.c_iflag;
  out.oflag = k.c_oflag;
  out.cflag = k.c_cflag;
  out.lflag = k.c_lflag;
  out.line = k.c_line;
  std::memcpy(out.cc, k.c_cc, sizeof out.cc);
  out.ispeed = k.c_ispeed;
  out.ospeed = k.c_ospeed;
}

}  // namespace

const Termios2Flags& Termios2Constants() {
  static const Termios2Flags f{CSIZE, CS5,   CS6,    CS7,    CS8,   CSTOPB, PARENB,
                               PARODD, CMSPAR, CRTSCTS, CLOCAL, CREAD, CBAUD, BOTHER,
                               IXON,  IXOFF, INPCK,  VSTART, VSTOP, VMIN,   VTIME};
  return f;
}

Termios2Data BuildTermios2(const SerialLineSettings& s) {
  Termios2Data t;
  // Starting from all-zero flags is raw mode: no input translation, no output
  // processing, no echo, no canonical lines, no signals.
  t.cflag = CLOCAL | CREAD | HUPCL | BOTHER;
  switch (s.dataBits) {
    case 5: t.cflag |= CS5; break;
    case 6: t.cflag |= CS6; break;
    case 7: t.cflag |= CS7; break;
    default: t.cflag |= CS8; break;
  }
  switch (s.parity) {
    case 1: t.cflag |= PARENB | PARODD; break;
    case 2: t.cflag |= PARENB; break;
    case 3: t.cflag |= PARENB | PARODD | CMSPAR; break;  // mark: parity bit always 1
    case 4: t.cflag |= PARENB | CMSPAR; break;           // space: parity bit always 0
    default: break;
  }
  // Linux has no 1.5 stop bits; the UART uses 1.5 for 5 data bits when
  // CSTOPB is set, which is what that setting means on such lines.
  if (s.stopBits == 1 || s.stopBits == 2) t.cflag |= CSTOPB;
  if (s.rtsCts) t.cflag |= CRTSCTS;
  if (s.xonXoff) t.iflag |= IXON | IXOFF;
  if (s.parityCheck) t.iflag |= INPCK;
  t.cc[VSTART] = s.xonChar;
  t.cc[VSTOP] = s.xoffChar;
  t.cc[VMIN] = 0;   // reads are non-blocking anyway; never wait for a count
  t.cc[VTIME] = 0;
  t.ispeed = s.baudRate;
  t.ospeed = s.baudRate;
  return t;
}

bool GetTermios2(int fd, Termios2Data& out) {
  struct termios2 k;
  std::memset(&k, 0, sizeof k);
  if (ioctl(fd, TCGETS2, &k) != 0) return false;
  FromKernel(k, out);
  return true;
}

bool SetTermios2(int fd, const Termios2Data& in) {
  struct termios2 k;
  ToKernel(in, k);
  return ioctl(fd, TCSETS2, &k) == 0;
}
