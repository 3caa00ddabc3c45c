// The host's print system (CUPS): a finished print job, drawn into a PDF file,
// is handed to a print queue as a whole, with the options the user chose in the
// printer-setup dialog. Nothing reaches the queue before the job is complete,
// so a job thrown away never prints, and a job the print system refuses is
// reported with its reason.
#pragma once

#include <string>
#include <vector>

class QPrinter;

// One option of a print job as the print system names it ("copies", "2").
struct TPrintJobOption {
  std::string Name;
  std::string Value;
};
using TPrintJobOptions = std::vector<TPrintJobOption>;

// What the printer-setup dialog set on Setup besides the printer, its paper and
// orientation: copies and their collation, two-sided printing, and the print
// system's own options (pages per sheet, banners, priority, the printer's
// properties).
TPrintJobOptions PrintJobOptionsOf(const QPrinter& Setup);

// Hands the PDF file File to the print queue Printer (a name as the host lists
// it, "queue" or "queue/instance") as one job named Title. The queue's own
// default options apply first, then Options. Returns the job's number; throws
// EEmulatorError with the print system's reason when it does not take the job.
int SubmitPrintJob(const std::string& Printer, const std::string& File, const std::string& Title,
                   const TPrintJobOptions& Options);
