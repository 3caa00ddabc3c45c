// A host serial port with its receive thread. The thread waits for received
// bytes and modem-line changes and delivers them through events, on the main
// thread when SyncCallbacks is on (see MainThread.h). Bytes are sent one at a
// time: the emulated machine asks TxReady before each byte, and WriteByte never
// waits longer than the time-out it is given.
//
// A receiver with a queue of its own tells the port how much room it has left
// (SetReceiveRoom): the thread then takes no more than that from the host and
// leaves the rest with the host's driver, which holds the sender back (RTS/CTS
// or XON/XOFF on a line; a writer on a pseudo-terminal waits), until the
// receiver makes room again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "ComRxOptions.h"
#include "MainThread.h"
#include "SerialPort.h"
#include "WakeEvent.h"

class TComRx;

// Events of the port. Sender is the port component.
using TComThreadDataReadyProc = std::function<void(TComRx& Sender, uint8_t Data)>;
using TComThreadDataBytesProc = std::function<void(TComRx& Sender, const uint8_t* Data, uint32_t Count)>;
using TComThreadModemEventProc = std::function<void(TComRx& Sender, uint8_t Signals)>;
// Code is the host's error number. Setting Flag stops the receive thread.
using TComThreadErrorProc = std::function<void(TComRx& Sender, uint32_t Code, bool& Flag)>;

// Bits of the signal set of OnModemSignal.
enum TComModemSignal : uint8_t {
  ComSignalRing = 1,
  ComSignalCts = 2,
  ComSignalDsr = 4,
  ComSignalRlsd = 8,
  ComSignalBreak = 16,
};

// The receive thread of one open port.
class TComRxThread final {
 public:
  struct TEvents {
    TComThreadDataReadyProc OnData;
    TComThreadDataBytesProc OnDataBlock;
    TComThreadModemEventProc OnModemSignal;
    TComThreadErrorProc OnError;
  };

  TComRxThread(TComRx& Owner, TSerialPort& Port, TEvents Events, bool SyncCallbacks, IMainThread* MainThread);
  TComRxThread(const TComRxThread&) = delete;
  TComRxThread& operator=(const TComRxThread&) = delete;
  ~TComRxThread();  // stops and joins

  // Starts the thread; called once the owner holds this object.
  void Start();
  // Wakes the thread when it waits for the receiver to make room.
  void ReceiveRoomChanged();
  // Asks the thread to end: wakes its wait and releases a pending synchronised
  // call. Safe from any thread, the receive thread included.
  void Stop();
  // Stops and waits for the thread to end (not from the thread itself).
  void Join();
  bool Finished() const { return FFinished.load(); }
  // Whether the caller runs on this receive thread (inside one of its unsynchronised events).
  bool IsCurrentThread() const;

 private:
  void Execute();
  // Reads until nothing more is waiting or the receiver has no room left;
  // false when the device failed.
  bool ReadAvailable(TSerialInputEvents& Events);
  // Whether the receiver has room for a read; without, the thread waits for
  // ReceiveRoomChanged.
  bool ReceiverHasRoom();
  void Deliver(std::function<void()> Work);
  void DoError(int Code);

  TComRx& FOwner;
  TSerialPort& FPort;
  TEvents FEvents;
  bool FSyncCallbacks;
  TMainThreadSync FSync;
  TWakeEvent FWake;
  // Shared with the calls handed to the main thread, which may outlive the thread.
  std::shared_ptr<std::atomic<bool>> FStopped = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> FFinished{false};
  std::atomic<bool> FWaitingForRoom{false};
  // Bytes taken from the device in one read at most.
  static constexpr size_t kReceiveBufferSize = 65536;
  std::unique_ptr<uint8_t[]> FBuffer = std::make_unique<uint8_t[]>(kReceiveBufferSize);
  std::thread FThread;
};

class TComRx final {
 public:
  // Synchronised events go to MainThread (by default the one installed with
  // SetMainThread). Without a main thread every event runs on the receive thread.
  explicit TComRx(IMainThread* MainThread = GetMainThread());
  TComRx(const TComRx&) = delete;
  TComRx& operator=(const TComRx&) = delete;
  ~TComRx();

  TComThreadDataReadyProc OnData;
  TComThreadModemEventProc OnModemSignal;
  TComThreadErrorProc OnError;
  TComThreadDataBytesProc OnDataBlock;

  TComOptions& GetOptions() { return FOptions; }
  const std::string& GetPortName() const { return FPortName; }
  // A COM name ("\\.\COM1", "COM1") or a device path; see ComPortNames.h.
  void SetPortName(const std::string& Value) { FPortName = Value; }
  bool GetSyncCallbacks() const { return FSyncCallbacks; }
  void SetSyncCallbacks(bool Value) { FSyncCallbacks = Value; }

  // True while the receive thread runs. A thread that ended on its own (the
  // device failed or hung up) leaves the port open until ClosePort.
  bool GetActive() const;
  void SetActive(bool Value);

  // Raises EComPortInUse, EComInvalidPort or EComSetOptions; the port is then closed.
  void OpenPort();
  // Stops and joins the receive thread, then closes the device. Called from a
  // handler that runs on the receive thread (SyncCallbacks off), it only stops
  // the thread; the next OpenPort, ClosePort or the destructor finish the job.
  void ClosePort();

  // Bytes the receiver of OnDataBlock and OnData can take now (unlimited at
  // first). The receive thread reads no more than that from the host between
  // two calls; each delivered block is counted against it until the receiver
  // sets it again, which it does after each block and whenever it has made
  // room. Called where the port is used (the main thread) or from its handlers.
  static constexpr uint32_t UnlimitedReceiveRoom = UINT32_MAX;
  void SetReceiveRoom(uint32_t Bytes);
  uint32_t GetReceiveRoom() const { return FReceiveRoom.load(); }
  // Counts Bytes taken from the host against the room (the receive thread's part).
  void TakeReceiveRoom(uint32_t Bytes);

  // A byte can be handed over now (see TSerialPort::CanWrite).
  bool TxReady();
  // Waits up to TimeoutMs (0: no wait; at most a minute) for the previous byte
  // to leave, then hands the byte to the driver. False when the port is closed
  // or the driver cannot take the byte without blocking (a stopped line, a full
  // queue); the byte is then not sent. Callers on the main thread pass a small
  // time-out, or ask TxReady first, which never waits.
  bool WriteByte(uint8_t Value, uint32_t TimeoutMs);

 private:
  IMainThread* FMainThread;
  TComOptions FOptions;
  std::string FPortName;
  bool FSyncCallbacks = true;
  TSerialPort FPort;
  std::atomic<uint32_t> FReceiveRoom{UnlimitedReceiveRoom};
  std::unique_ptr<TComRxThread> FThread;
};
