#include "HostPrintQueue.h"

#include <cups/cups.h>

#include <QPrintEngine>
#include <QPrinter>
#include <QStringList>
#include <QVariant>
#include <memory>

#include "EmulatorError.h"

namespace {

// The engine property under which Qt's printer-setup dialog keeps the print
// system's options it collected, as name and value in turn.
constexpr auto CupsOptionsProperty = QPrintEngine::PrintEnginePropertyKey(0xfe00);

void Add(TPrintJobOptions& Options, const char* Name, const QString& Value) {
  Options.push_back({Name, Value.toStdString()});
}

}  // namespace

TPrintJobOptions PrintJobOptionsOf(const QPrinter& Setup) {
  TPrintJobOptions options;
  const int copies = Setup.copyCount();
  if (copies > 1) {
    Add(options, "copies", QString::number(copies));
    if (Setup.collateCopies()) Add(options, "Collate", QStringLiteral("True"));
  }
  const bool portrait = Setup.pageLayout().orientation() == QPageLayout::Portrait;
  switch (Setup.duplex()) {
    case QPrinter::DuplexNone:
      Add(options, "sides", QStringLiteral("one-sided"));
      break;
    case QPrinter::DuplexAuto:
      Add(options, "sides", portrait ? QStringLiteral("two-sided-long-edge") : QStringLiteral("two-sided-short-edge"));
      break;
    case QPrinter::DuplexLongSide:
      Add(options, "sides", QStringLiteral("two-sided-long-edge"));
      break;
    case QPrinter::DuplexShortSide:
      Add(options, "sides", QStringLiteral("two-sided-short-edge"));
      break;
  }
  if (QPrintEngine* engine = Setup.printEngine()) {
    const QStringList pairs = engine->property(CupsOptionsProperty).toStringList();
    for (qsizetype at = 0; at + 1 < pairs.size(); at += 2)
      options.push_back({pairs[at].toStdString(), pairs[at + 1].toStdString()});
  }
  return options;
}

int SubmitPrintJob(const std::string& Printer, const std::string& File, const std::string& Title,
                   const TPrintJobOptions& Options) {
  // The print system knows the queue; an instance only names a set of options of it.
  const size_t slash = Printer.find('/');
  const std::string queue = Printer.substr(0, slash);
  const std::string instance = slash == std::string::npos ? std::string() : Printer.substr(slash + 1);

  // As lp does: the destination's own options (an instance's among them), then the job's.
  int count = 0;
  cups_option_t* options = nullptr;
  std::unique_ptr<cups_dest_t, void (*)(cups_dest_t*)> dest(
      cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue.c_str(), instance.empty() ? nullptr : instance.c_str()),
      [](cups_dest_t* Dest) { cupsFreeDests(1, Dest); });
  // A queue that is gone: libcups's submission would only say that a file is
  // missing, the look-up says what is.
  const std::string lookUpFailure = dest ? std::string() : cupsLastErrorString();
  if (dest)
    for (int at = 0; at < dest->num_options; ++at)
      count = cupsAddOption(dest->options[at].name, dest->options[at].value, count, &options);
  for (const TPrintJobOption& option : Options)
    count = cupsAddOption(option.Name.c_str(), option.Value.c_str(), count, &options);

  const int job = cupsPrintFile2(CUPS_HTTP_DEFAULT, queue.c_str(), File.c_str(), Title.c_str(), count, options);
  cupsFreeOptions(count, options);
  if (job == 0)
    throw EEmulatorError("The print system did not take the job for the printer \"" + Printer +
                         "\": " + (lookUpFailure.empty() ? cupsLastErrorString() : lookUpFailure));
  return job;
}
