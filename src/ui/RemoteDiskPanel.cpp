// The remote disk server's panel on the Disks page, and the main window's part
// of it: "Activate Disk Server" starts and stops the UDP server on the port of
// the panel, the list shows the client sessions, and a timer refreshes it every
// second while the server runs.
#include "RemoteDiskPanel.h"

#include <arpa/inet.h>

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include "MainActionButtons.h"
#include "RmtDskMod.h"
#include "frmKorvel.h"

namespace {

constexpr int StatusIntervalMs = 1000;
constexpr int ItemMargin = 2;

}  // namespace

QString IpAddressToText(uint32_t Address) {
  // The byte at the lowest address is the low byte of the value held in memory.
  const uint8_t* Bytes = reinterpret_cast<const uint8_t*>(&Address);
  return QStringLiteral("%1.%2.%3.%4").arg(Bytes[0]).arg(Bytes[1]).arg(Bytes[2]).arg(Bytes[3]);
}

QString RemoteDiskTimeText(std::chrono::system_clock::time_point Time) {
  const qint64 Milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count();
  const QDateTime Local = QDateTime::fromMSecsSinceEpoch(Milliseconds);
  const QLocale Locale;
  return Locale.dayName(Local.date().dayOfWeek(), QLocale::ShortFormat) + QLatin1Char(' ') +
         Locale.monthName(Local.date().month(), QLocale::ShortFormat) + QLatin1Char(' ') +
         Local.toString(QStringLiteral("dd '@' hh:mm:ss"));
}

QStringList RemoteDiskSessionLines(const TRmtDskSession& Session) {
  const RemoteDiskClientAddress& Client = Session.Client;
  return {QStringLiteral("Client: %1:%2  Disk: %3 %4")
              .arg(IpAddressToText(Client.Address))
              .arg(ntohs(Client.Port))
              .arg(Client.ClientId)
              .arg(Session.ReadOnly ? QStringLiteral("RO") : QStringLiteral("RW")),
          QStringLiteral("File name: ") + QString::fromStdString(Session.FileName.string()),
          QStringLiteral("Last used: ") + RemoteDiskTimeText(Session.LastUse)};
}

// ---------------------------------------------------------------- list

int TRemoteDiskListModel::rowCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : FCount; }

QVariant TRemoteDiskListModel::data(const QModelIndex&, int) const { return {}; }

void TRemoteDiskListModel::SetCount(int Count) {
  if (Count == FCount) return;
  beginResetModel();
  FCount = Count;
  endResetModel();
}

TRemoteDiskListDelegate::TRemoteDiskListDelegate(QObject* Parent) : QStyledItemDelegate(Parent) {}

void TRemoteDiskListDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                                    const QModelIndex& Index) const {
  const bool Selected = (Option.state & QStyle::State_Selected) != 0;
  Painter->fillRect(Option.rect, Option.palette.brush(Selected ? QPalette::Highlight : QPalette::Base));
  if (!Lines) return;
  const QStringList Text = Lines(Index.row());
  Painter->setPen(Option.palette.color(Selected ? QPalette::HighlightedText : QPalette::Text));
  Painter->setFont(Option.font);
  for (int Line = 0; Line < Text.size() && Line < LinesPerItem; ++Line) {
    const QRect Rect(Option.rect.left() + ItemMargin, Option.rect.top() + ItemMargin / 2 + Line * FLineHeight,
                     Option.rect.width() - 2 * ItemMargin, FLineHeight);
    Painter->drawText(Rect, static_cast<int>(Qt::AlignLeft | Qt::AlignVCenter), Text[Line]);
  }
  // A line between the sessions.
  Painter->setPen(Option.palette.color(QPalette::Mid));
  Painter->drawLine(Option.rect.bottomLeft(), Option.rect.bottomRight());
}

QSize TRemoteDiskListDelegate::sizeHint(const QStyleOptionViewItem& Option, const QModelIndex&) const {
  return {Option.rect.width(), LinesPerItem * FLineHeight + ItemMargin};
}

// ---------------------------------------------------------------- the window's part

void TMainOrvanta::CreateRemoteDiskServerPanel(QGroupBox* Panel) {
  auto* Layout = new QGridLayout(Panel);

  C_RemoteDiskServerActive = NewActionCheckBox(ActivateRemoteDiskServerAct, Panel);
  C_RemoteDiskServerActive->setObjectName(QStringLiteral("C_RemoteDiskServerActive"));
  Layout->addWidget(C_RemoteDiskServerActive, 0, 0, 1, 2);

  auto* PortLabel = new QLabel(QStringLiteral("Server Port"), Panel);
  C_DiskServerPort = new QLineEdit(QString::fromLatin1(TRmtDskMod::DefaultPort), Panel);
  C_DiskServerPort->setObjectName(QStringLiteral("C_DiskServerPort"));
  C_DiskServerPort->setToolTip(QStringLiteral("IP port used by disk server (default 999)"));
  C_DiskServerPort->setMaximumWidth(C_DiskServerPort->fontMetrics().horizontalAdvance(QStringLiteral("0000000")) + 12);
  PortLabel->setBuddy(C_DiskServerPort);
  Layout->addWidget(PortLabel, 1, 0);
  Layout->addWidget(C_DiskServerPort, 1, 1);

  C_UseRemoteDiskAutoUnMount = new QCheckBox(QStringLiteral("Allow auto unmount"), Panel);
  C_UseRemoteDiskAutoUnMount->setObjectName(QStringLiteral("C_UseRemoteDiskAutoUnMount"));
  C_UseRemoteDiskAutoUnMount->setToolTip(QStringLiteral("Auto unmount current disk if new disk mount requested"));
  C_UseRemoteDiskAutoUnMount->setChecked(true);
  connect(C_UseRemoteDiskAutoUnMount, &QCheckBox::toggled, this,
          [this] { Guarded([this] { C_UseRemoteDiskAutoUnMountClick(); }); });
  Layout->addWidget(C_UseRemoteDiskAutoUnMount, 2, 0, 1, 2);

  Refresh = new QPushButton(QStringLiteral("Refresh"), Panel);
  Refresh->setObjectName(QStringLiteral("Refresh"));
  Refresh->setToolTip(QStringLiteral("Update client status display"));
  connect(Refresh, &QPushButton::clicked, this, [this] { Guarded([this] { RefreshRemoteDiskList(); }); });
  Layout->addWidget(Refresh, 3, 0, 1, 2, Qt::AlignLeft | Qt::AlignTop);
  Layout->setRowStretch(4, 1);

  RemoteDiskServerStatus = new QListView(Panel);
  RemoteDiskServerStatus->setObjectName(QStringLiteral("RemoteDiskServerStatus"));
  RemoteDiskServerStatus->setToolTip(QStringLiteral("Shows a list of active clients"));
  RemoteDiskServerStatus->setUniformItemSizes(true);
  RemoteDiskServerStatus->setSelectionMode(QAbstractItemView::SingleSelection);
  RemoteDiskServerStatus->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FRemoteDiskList = new TRemoteDiskListModel(RemoteDiskServerStatus);
  FRemoteDiskDrawer = new TRemoteDiskListDelegate(RemoteDiskServerStatus);
  FRemoteDiskDrawer->Lines = [this](int Index) { return RemoteDiskServerStatusLines(Index); };
  RemoteDiskServerStatus->setModel(FRemoteDiskList);
  RemoteDiskServerStatus->setItemDelegate(FRemoteDiskDrawer);
  Layout->addWidget(RemoteDiskServerStatus, 0, 2, 5, 1);
  Layout->setColumnStretch(2, 1);

  RemoteDiskStatus = new QTimer(this);
  RemoteDiskStatus->setObjectName(QStringLiteral("RemoteDiskStatus"));
  RemoteDiskStatus->setInterval(StatusIntervalMs);
  connect(RemoteDiskStatus, &QTimer::timeout, this, [this] { Guarded([this] { RemoteDiskStatusTimer(); }); });

  SetActionExecute(ActivateRemoteDiskServerAct, [this] { ActivateRemoteDiskServerActExecute(); });
  SetActionUpdate(ActivateRemoteDiskServerAct, [this] { ActivateRemoteDiskServerActUpdate(); });
  ActivateRemoteDiskServerActUpdate();
  SetListMetrics();
}

void TMainOrvanta::SetListMetrics() {
  const QFontMetrics Metrics(RemoteDiskServerStatus->font());
  const int LineHeight =
      std::max(Metrics.height(), Metrics.boundingRect(QStringLiteral("~^&%;|!/]{(>WTjgy,'\"")).height()) + 4;
  FRemoteDiskDrawer->SetLineHeight(LineHeight);
  RefreshRemoteDiskList();
}

void TMainOrvanta::RefreshRemoteDiskList() {
  if (FRemoteDiskList == nullptr) return;
  FRemoteDiskList->SetCount(FRmtDskMod ? static_cast<int>(FRmtDskMod->GetSessionCount()) : 0);
  RemoteDiskServerStatus->viewport()->update();
}

QStringList TMainOrvanta::RemoteDiskServerStatusLines(int Index) const {
  if (!FRmtDskMod || Index < 0) return {};
  const TRmtDskSession* Session = FRmtDskMod->GetSession(static_cast<size_t>(Index));
  return Session != nullptr ? RemoteDiskSessionLines(*Session) : QStringList();
}

void TMainOrvanta::ActivateRemoteDiskServerActUpdate() {
  const bool Active = FRmtDskMod && FRmtDskMod->GetActive();
  if (C_DiskServerPort != nullptr) C_DiskServerPort->setReadOnly(Active);
  ActivateRemoteDiskServerAct->setEnabled(static_cast<bool>(FRmtDskMod));
  ActivateRemoteDiskServerAct->setChecked(Active);
}

void TMainOrvanta::ActivateRemoteDiskServerActExecute() {
  if (!FRmtDskMod) return;
  if (!FRmtDskMod->GetActive()) {
    FRmtDskMod->SetAutoUnmount(C_UseRemoteDiskAutoUnMount->isChecked());
    // A port is a number from 1 to 65535; anything else starts nothing.
    QString PortText = C_DiskServerPort->text().trimmed();
    if (PortText.isEmpty()) PortText = QString::fromLatin1(TRmtDskMod::DefaultPort);
    bool Number = PortText.size() <= 5;
    for (const QChar Character : PortText)
      Number = Number && Character >= QLatin1Char('0') && Character <= QLatin1Char('9');
    const int Port = Number ? PortText.toInt() : 0;
    if (Port < 1 || Port > 65535) {
      ActivateRemoteDiskServerActUpdate();
      ShowMessage(TMachineMessageKind::Warning,
                  QStringLiteral("\"%1\" is not a valid server port: give a number from 1 to 65535.")
                      .arg(C_DiskServerPort->text())
                      .toStdString());
      return;
    }
    FRmtDskMod->BaseUdpRx1.LocalPort = std::to_string(Port);
    try {
      FRmtDskMod->SetActive(true);
    } catch (const std::exception& Error) {
      // Nothing runs: the action stays unchecked and the port can be changed.
      ActivateRemoteDiskServerActUpdate();
      RemoteDiskStatus->stop();
      ShowMessage(TMachineMessageKind::Warning,
                  "Unable to start the disk server on port " + std::to_string(Port) + ". " + Error.what());
      return;
    }
  } else {
    FRmtDskMod->SetActive(false);
  }
  RefreshRemoteDiskList();
  ActivateRemoteDiskServerActUpdate();
  if (FRmtDskMod->GetActive())
    RemoteDiskStatus->start();
  else
    RemoteDiskStatus->stop();
}

void TMainOrvanta::C_UseRemoteDiskAutoUnMountClick() {
  if (FRmtDskMod) FRmtDskMod->SetAutoUnmount(C_UseRemoteDiskAutoUnMount->isChecked());
}

void TMainOrvanta::RemoteDiskStatusTimer() {
  RemoteDiskStatus->stop();
  if (!FRmtDskMod || !FRmtDskMod->GetActive()) return;
  if (LastServerChange != FRmtDskMod->LastChange) {
    LastServerChange = FRmtDskMod->LastChange;
    RefreshRemoteDiskList();
  } else {
    // No mount or unmount since the last tick; the times of use go on.
    RemoteDiskServerStatus->viewport()->update();
  }
  RemoteDiskStatus->start();
}
