#include "AdPortPrompt.h"

#include <QEventLoop>
#include <optional>
#include <string>

#include "AdPort.h"
#include "SerialPortList.h"

namespace {

// The ports the component can open: those with a COM number.
std::vector<TSerialPortEntry> NumberedPorts() {
  std::vector<TSerialPortEntry> Ports = ListSerialPorts();
  std::erase_if(Ports, [](const TSerialPortEntry& Port) { return Port.ComNumber == 0; });
  return Ports;
}

std::optional<std::string> AskForPort(const TAdPortPromptOptions& Options) {
  // Owned here, watched in case its owner window takes it down meanwhile.
  QPointer<TComSelectForm> Form = new TComSelectForm(Options.Parent.data());
  Form->SetPortSource(NumberedPorts);
  bool Finished = false;
  QEventLoop Loop;
  QObject::connect(Form.data(), &QDialog::finished, &Loop, [&] {
    Finished = true;
    Loop.quit();
  });
  QObject::connect(Form.data(), &QObject::destroyed, &Loop, [&] {
    Finished = true;
    Loop.quit();
  });
  if (Options.Modal)
    Form->open();
  else
    Form->show();
  if (Options.OnShown && Form) Options.OnShown(*Form);
  if (!Finished) Loop.exec();
  std::optional<std::string> Choice;
  if (Form && Form->result() == QDialog::Accepted && !Form->ChosenPort().isEmpty())
    Choice = Form->ChosenPort().toStdString();
  delete Form.data();
  return Choice;
}

}  // namespace

void InstallPortPrompt(TApdCustomComPort& Port, TAdPortPromptOptions Options) {
  Port.OnSelectPort = [Options = std::move(Options)](TApdCustomComPort&) { return AskForPort(Options); };
}
