// Gives a COM port component the "Select Port" dialog: when the component opens
// with no port number and PromptForPort on, it asks through its OnSelectPort
// hook, which this helper sets to show TComSelectForm and wait for the answer.
// The dialog lists the COM numbers whose devices are present (the component
// opens ports by number); OK gives the chosen one, Cancel or closing nothing.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>

#include "AdSelCom.h"

class TApdCustomComPort;

struct TAdPortPromptOptions {
  // The dialog's owner window; none: the dialog stands alone.
  QPointer<QWidget> Parent;
  // Modal blocks the other windows while the dialog is up (window-modal with a
  // parent); off leaves them usable. Either way the open waits for the answer,
  // running the event loop meanwhile.
  bool Modal = true;
  // Told once the dialog shows, for callers that preset or drive it.
  std::function<void(TComSelectForm& Form)> OnShown;
};

// Sets Port.OnSelectPort; the hook keeps a copy of Options.
void InstallPortPrompt(TApdCustomComPort& Port, TAdPortPromptOptions Options = {});
