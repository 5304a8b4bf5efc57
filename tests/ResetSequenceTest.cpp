// Reset sequences as text: what the command line and the window accept, what
// they refuse, and the line levels a sequence drives with inversions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "isp/ResetSequence.h"

namespace {

std::vector<std::string> Drive(const ResetSequence& seq, const std::vector<ResetStep>& steps) {
  std::vector<std::string> out;
  RunResetSteps(seq, steps,
                {[&](bool on) { out.push_back(on ? "DTR1" : "DTR0"); },
                 [&](bool on) { out.push_back(on ? "RTS1" : "RTS0"); },
                 [&](int ms) { out.push_back("P" + std::to_string(ms)); }});
  return out;
}

TEST(ResetSequence, StepsPausesInversionsAndTheExitPart) {
  const auto plain = ResetSequence::Parse(QStringLiteral("rts,dtr,100,-dtr,50,-rts"));
  ASSERT_TRUE(plain);
  EXPECT_EQ(Drive(*plain, plain->entry),
            (std::vector<std::string>{"RTS1", "DTR1", "P100", "DTR0", "P50", "RTS0"}));
  EXPECT_TRUE(plain->exit.empty());

  // Spaces, capitals and '+' are taken; an inversion anywhere covers both
  // parts, and only the line it names.
  const auto inverted = ResetSequence::Parse(QStringLiteral(" RTS, +dtr ,0, ~rts,-dtr / -rts,dtr,20,-dtr"));
  ASSERT_TRUE(inverted);
  EXPECT_TRUE(inverted->invertRts);
  EXPECT_FALSE(inverted->invertDtr);
  EXPECT_EQ(Drive(*inverted, inverted->entry), (std::vector<std::string>{"RTS0", "DTR1", "P0", "DTR0"}));
  EXPECT_EQ(Drive(*inverted, inverted->exit), (std::vector<std::string>{"RTS1", "DTR1", "P20", "DTR0"}));

  // The text form reads back as the same sequence (a production run hands
  // it to each board's process that way).
  for (const ResetSequence& s : {*plain, *inverted, ResetPresets::Stm32(), ResetPresets::Stm32Mode2(),
                                 ResetPresets::Lpc(), ResetPresets::Stc(200)}) {
    const auto again = ResetSequence::Parse(s.Text());
    ASSERT_TRUE(again) << s.Text().toStdString();
    EXPECT_EQ(*again, s) << s.Text().toStdString();
  }
}

TEST(ResetSequence, RefusesTextThatIsNoSequenceSayingWhy) {
  for (const char* bad : {"", "  ", "dtr,,rts", "dtr,cts", "dtr,-5", "dtr,10001", "~dtr", "~dtr,~rts",
                          "dtr/", "dtr/rts/dtr", "dtr,100ms", "--dtr", "dtr rts"}) {
    QString why;
    EXPECT_FALSE(ResetSequence::Parse(QString::fromLatin1(bad), &why)) << bad;
    EXPECT_FALSE(why.isEmpty()) << bad;
  }
  // The limits themselves are pauses like any other.
  EXPECT_TRUE(ResetSequence::Parse(QStringLiteral("dtr,10000,0,-dtr")));
}

}  // namespace
