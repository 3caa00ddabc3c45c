// A CUPS scheduler of a test's own: cupsd in the foreground with its
// configuration, spool, logs and socket in a temporary folder, reached by this
// process (libcups, and Qt's printer list through it) and by the CUPS tools the
// test runs, never by anything else. The host's own scheduler, if any, is not
// touched. Its queues have the cups-pdf driver and are stopped: a job submitted
// to one waits there with its file (kept besides by PreserveJobFiles) and is
// never printed, so a test reads what reached the queue and nothing is written
// anywhere else (their device, /dev/null, is never even opened).
#pragma once

#include <cups/cups.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempFolder.h"
#include "WaitUntil.h"

extern char** environ;

namespace korvel_test {

class TCupsScheduler {
 public:
  static constexpr const char* PdfDriver = "/usr/share/ppd/cups-pdf/CUPS-PDF_opt.ppd";

  struct TJob {
    int Id = 0;
    std::string Name;
    int Copies = 1;
    std::filesystem::path File;  // the submitted document as the queue keeps it
  };

  TCupsScheduler() {
    for (const char* Tool : {"/usr/sbin/cupsd", "/usr/sbin/lpadmin", "/usr/sbin/cupsdisable", PdfDriver})
      if (!std::filesystem::exists(Tool)) FMissing += std::string(FMissing.empty() ? "" : ", ") + Tool;
    if (!FMissing.empty()) {
      FMissing = "a CUPS scheduler with the cups-pdf driver is needed (Debian's cups, cups-client and "
                 "printer-driver-cups-pdf); missing: " + FMissing;
      return;
    }
    const std::filesystem::path Root = FFolder.Path();
    FSocket = (Root / "cups.sock").string();
    for (const char* Folder : {"spool/temp", "log", "cache", "state"}) std::filesystem::create_directories(Root / Folder);
    std::ofstream(Root / "cupsd.conf") << "Listen " << FSocket << "\n"
                                       << "Browsing Off\nWebInterface No\nLogLevel warn\n"
                                       << "PreserveJobFiles Yes\nPreserveJobHistory Yes\n"
                                       << "<Policy default>\n<Limit All>\nOrder Allow,Deny\nAllow all\n</Limit>\n"
                                       << "</Policy>\n";
    std::ofstream Files(Root / "cups-files.conf");
    Files << "ServerRoot " << Root.string() << "\nStateDir " << (Root / "state").string() << "\nCacheDir "
          << (Root / "cache").string() << "\nRequestRoot " << (Root / "spool").string() << "\nTempDir "
          << (Root / "spool/temp").string() << "\nPrintcap " << (Root / "printcap").string() << "\nFileDevice Yes\n";
    for (const char* Log : {"AccessLog", "ErrorLog", "PageLog"})
      Files << Log << " " << (Root / "log" / Log).string() << "\n";
    if (::geteuid() != 0) {
      // Not root: the scheduler runs as this user and lets this user administer it.
      const passwd* User = ::getpwuid(::geteuid());
      const group* Group = ::getgrgid(::getegid());
      if (User != nullptr && Group != nullptr)
        Files << "User " << User->pw_name << "\nGroup " << Group->gr_name << "\nSystemGroup " << Group->gr_name
              << "\n";
    }
    Files.close();

    const std::string Config = (Root / "cupsd.conf").string();
    const std::string FilesConfig = (Root / "cups-files.conf").string();
    const std::string Log = (Root / "log" / "cupsd.out").string();
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_addopen(&Actions, STDOUT_FILENO, Log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&Actions, STDOUT_FILENO, STDERR_FILENO);
    const char* Arguments[] = {"cupsd", "-f", "-c", Config.c_str(), "-s", FilesConfig.c_str(), nullptr};
    if (posix_spawn(&FScheduler, "/usr/sbin/cupsd", &Actions, nullptr, const_cast<char**>(Arguments), environ) != 0)
      FScheduler = -1;
    posix_spawn_file_actions_destroy(&Actions);
    if (FScheduler < 0) return;

    // This process and the tools it runs talk to this scheduler only.
    const char* Previous = ::getenv("CUPS_SERVER");
    FPreviousServer = Previous == nullptr ? "" : Previous;
    FHadServer = Previous != nullptr;
    ::setenv("CUPS_SERVER", FSocket.c_str(), 1);
    cupsSetServer(FSocket.c_str());
    FRunning = WaitUntil([this] { return Exited() ? true : Answers(); }, std::chrono::seconds(60)) && !Exited();
  }

  ~TCupsScheduler() {
    if (!Exited()) {
      ::kill(FScheduler, SIGTERM);
      ::waitpid(FScheduler, nullptr, 0);
    }
    if (!FMissing.empty()) return;
    cupsSetServer(nullptr);
    if (FHadServer)
      ::setenv("CUPS_SERVER", FPreviousServer.c_str(), 1);
    else
      ::unsetenv("CUPS_SERVER");
  }
  TCupsScheduler(const TCupsScheduler&) = delete;
  TCupsScheduler& operator=(const TCupsScheduler&) = delete;

  // Why no scheduler can run here; empty where the packages are installed.
  const std::string& Missing() const { return FMissing; }
  bool Running() const { return FRunning; }
  // What the scheduler wrote of its troubles.
  std::string Log() const {
    std::string Text;
    for (const char* Name : {"cupsd.out", "ErrorLog"}) {
      std::ifstream File(FFolder.Path() / "log" / Name);
      Text.append(std::istreambuf_iterator<char>(File), std::istreambuf_iterator<char>());
    }
    return Text;
  }

  // Runs a CUPS tool (lpadmin, cupsreject, ...) against this scheduler; true when it succeeded.
  bool Run(const std::string& Command) const { return std::system((Command + " >/dev/null 2>&1").c_str()) == 0; }

  // A stopped queue Name with the cups-pdf driver, the default destination.
  bool AddQueue(const std::string& Name) const {
    return Run("/usr/sbin/lpadmin -p " + Name + " -E -v file:///dev/null -P " + PdfDriver) &&
           Run("/usr/sbin/cupsdisable " + Name) && Run("/usr/sbin/lpadmin -d " + Name);
  }

  // The jobs the queue Name holds or has held, oldest first.
  std::vector<TJob> Jobs(const std::string& Name) const {
    std::vector<TJob> Jobs;
    ipp_t* Request = ippNewRequest(IPP_OP_GET_JOBS);
    const std::string Uri = "ipp://localhost/printers/" + Name;
    ippAddString(Request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, Uri.c_str());
    ippAddString(Request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    // The owner of the jobs: a job's name is private to its owner.
    ippAddString(Request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
    static const char* const Wanted[] = {"job-id", "job-name", "copies"};
    ippAddStrings(Request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 3, nullptr, Wanted);
    ipp_t* Response = cupsDoRequest(CUPS_HTTP_DEFAULT, Request, "/");
    // Each job is a group of its own; a nameless attribute separates two groups.
    bool InJob = false;
    for (ipp_attribute_t* Attribute = ippFirstAttribute(Response); Attribute != nullptr;
         Attribute = ippNextAttribute(Response)) {
      const char* AttributeName = ippGetName(Attribute);
      if (AttributeName == nullptr || ippGetGroupTag(Attribute) != IPP_TAG_JOB) {
        InJob = false;
        continue;
      }
      if (!InJob) Jobs.push_back({});
      InJob = true;
      TJob& Job = Jobs.back();
      if (std::strcmp(AttributeName, "job-id") == 0) {
        Job.Id = ippGetInteger(Attribute, 0);
        char File[32];
        std::snprintf(File, sizeof File, "d%05d-001", Job.Id);
        Job.File = FFolder.Path() / "spool" / File;
      } else if (std::strcmp(AttributeName, "job-name") == 0) {
        Job.Name = ippGetString(Attribute, 0, nullptr);
      } else if (std::strcmp(AttributeName, "copies") == 0) {
        Job.Copies = ippGetInteger(Attribute, 0);
      }
    }
    ippDelete(Response);
    return Jobs;
  }

 private:
  // Whether the scheduler has ended (it is reaped then, and never signalled again).
  bool Exited() {
    if (FScheduler > 0 && ::waitpid(FScheduler, nullptr, WNOHANG) == FScheduler) FScheduler = -1;
    return FScheduler <= 0;
  }
  // The scheduler takes connections on its socket.
  bool Answers() const {
    const int Handle = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    std::strncpy(Address.sun_path, FSocket.c_str(), sizeof Address.sun_path - 1);
    const bool Connected = ::connect(Handle, reinterpret_cast<const sockaddr*>(&Address), sizeof Address) == 0;
    ::close(Handle);
    return Connected;
  }

  TTempFolder FFolder;
  std::string FMissing;
  std::string FSocket;
  pid_t FScheduler = -1;
  bool FRunning = false;
  bool FHadServer = false;
  std::string FPreviousServer;
};

}  // namespace korvel_test
