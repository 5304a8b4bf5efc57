// Numbers a board prints, line by line, turned into samples for the live plot:
// columns separated by commas, spaces, tabs or semicolons; name=value or
// name: value pairs; or a regular expression of the user's whose capture
// groups are the values. No widgets here.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <vector>

constexpr int kPlotMaxSeries = 8;

struct PlotSample {
  double t = 0;               // seconds, as the caller stamps it
  std::vector<double> values; // one per series; NaN where the line had none
};

class PlotLineParser {
 public:
  enum class Mode { Auto, Columns, Pairs, Regex };

  void SetMode(Mode m) { mode_ = m; }
  // Regex mode: false (and error() says why) when the pattern is not valid
  // or has no capture group.
  bool SetRegex(const QString& pattern);
  const QString& error() const { return error_; }

  // Received bytes, cut anywhere: a line ends at LF, CR or CR LF. Complete lines with at least one number become samples.
  void Feed(const QByteArray& bytes, double t, std::vector<PlotSample>& out);
  // One whole line; false when it held no sample.
  bool ParseLine(const QByteArray& line, double t, PlotSample& out);
  void Reset();

  const QStringList& names() const { return names_; }
  long long malformed() const { return malformed_; }  // values skipped
  long long lines() const { return lines_; }

 private:
  int SeriesFor(const QString& name);
  bool Columns(const QByteArray& line, PlotSample& s);
  bool Pairs(const QByteArray& line, PlotSample& s);
  bool Captures(const QByteArray& line, PlotSample& s);
  void Put(PlotSample& s, int index, double v);

  Mode mode_ = Mode::Auto;
  QRegularExpression user_;
  QString error_;
  QStringList names_;
  bool named_ = false;  // names came from a header or pairs, not defaults
  QByteArray partial_;
  long long malformed_ = 0;
  long long lines_ = 0;
};

// A whole token as a finite number ("1.5", "-3", "+2e3"); false otherwise.
bool ParsePlotNumber(const char* begin, const char* end, double& v);

// Axis ticks at round numbers: the step of 1, 2 or 5 times a power of ten
// that cuts span into at most maxTicks parts, and the decimals its labels need.
double PlotTickStep(double span, int maxTicks);
int PlotTickDecimals(double step);

// Points sorted by x thinned to at most 2 * buckets: each bucket keeps its
// lowest and highest point, so a spike survives however many points there are.
QList<QPointF> PlotThin(const QList<QPointF>& points, int buckets);

// Samples [begin, end) as CSV: a header "t,name1,..." and one row each;
// a value a line did not carry stays empty. The time column is "t_s" when a
// series is itself called t.
template <class Container>
QByteArray PlotCsv(const QStringList& names, const Container& samples, size_t begin, size_t end);
QByteArray PlotCsvRow(const QStringList& names, const PlotSample& s);
QByteArray PlotCsvHeader(const QStringList& names);

template <class Container>
QByteArray PlotCsv(const QStringList& names, const Container& samples, size_t begin, size_t end) {
  QByteArray out = PlotCsvHeader(names);
  for (size_t i = begin; i < end && i < samples.size(); ++i) out += PlotCsvRow(names, samples[i]);
  return out;
}
