#pragma once
// TPowersock: the TCP client component that links the window to a network module.
//
// Everything runs on the GUI thread. Socket readiness arrives through QSocketNotifier and is
// turned into the component's notifications (read, accept, connect, close) in the order the
// waits expect; the waits (host lookup, connect, accept, ReadLn) sleep 2 ms at a time and
// let the Qt event queue run, so the window stays alive and any handler may run inside them.
// Error numbers are kept in the Windows Sockets numbering (10061, 10054, 11001, ...) so the
// texts the operator sees read the same as on the module's original platform.
#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "link/name_lookup.h"

class QSocketNotifier;
class QTimer;

namespace velkorn::link {

class NetworkLink;

// A text longer than a transfer can carry fails this range check (std::out_of_range).
inline constexpr const char* kRangeFailureText = "Fehler bei Bereichspr\xC3\xBC" "fung";

// Errors of the component (texts such as "Bereits verbunden" or "10061:Connection refused").
// `cause` tells the component's own code which wait ended it, without reading the text.
class ESockError : public std::runtime_error {
 public:
  enum class Cause { Other, LookupTimedOut, LookupAborted, NoAddress, ConnectTimedOut };
  explicit ESockError(const std::string& text, Cause cause = Cause::Other)
      : std::runtime_error(text), cause_(cause) {}
  Cause cause() const { return cause_; }

 private:
  Cause cause_;
};

// An operation ended by Cancel or by the time-out ("Socket-send abgebrochen", ...).
class EAbortError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The message timer of the component: OnTimer every Interval ms while Enabled.
class TThreadTimer : public QObject {
  Q_OBJECT
 public:
  explicit TThreadTimer(QObject* owner = nullptr);
  ~TThreadTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  std::int32_t Interval() const { return intervalMs_; }
  void SetInterval(std::int32_t intervalMs);
  void SetOnTimer(std::function<void(TThreadTimer&)> handler);
  bool HasOnTimer() const { return static_cast<bool>(onTimer_); }

  // Stops the running period and, when Interval is not 0, Enabled is set and OnTimer is
  // assigned, starts a new one; throws std::runtime_error "Kein Zeitgeber" when the timer
  // cannot run (no event dispatcher on this thread).
  void UpdateTimer();
  // One period elapsed: runs OnTimer.
  void Timer();

 private:
  QTimer* timer_ = nullptr;
  std::int32_t intervalMs_ = 1000;
  bool enabled_ = true;
  std::function<void(TThreadTimer&)> onTimer_;
};

// A module address typed as "host" or "host:port".
struct HostAndPort {
  std::string host;
  std::uint16_t port = 0;
};

class TPowersock : public QObject {
  Q_OBJECT
 public:
  // Notification kinds in the Windows Sockets numbering; they form the event mask 61.
  static constexpr int kEventRead = 1;
  static constexpr int kEventOutOfBand = 4;
  static constexpr int kEventAccept = 8;
  static constexpr int kEventConnect = 16;
  static constexpr int kEventClose = 32;
  static constexpr int kEventMask = kEventRead | kEventOutOfBand | kEventAccept | kEventConnect | kEventClose;

  // One staging area for sends, peeks and the host name: 65,536 bytes plus the zero byte.
  static constexpr std::size_t kWorkBufferBytes = 65537;
  // Lengths travel as unsigned 16-bit values.
  static constexpr std::size_t kMaxTransferBytes = 65535;
  // Waits look at the event queue every 2 ms.
  static constexpr int kWaitSliceMs = 2;
  // Port assumed when the host field names no port.
  static constexpr std::uint16_t kDefaultModulePort = 23;
  // A send that makes no progress for this long fails instead of spinning forever.
  static constexpr int kSendStallLimitMs = 10000;

  // Starts the socket layer and creates an unconnected socket; throws ESockError
  // "Die Initialisierung der Windows-Sockets ist fehlgeschlagen" when it cannot.
  explicit TPowersock(QObject* owner = nullptr);
  ~TPowersock() override;
  TPowersock(const TPowersock&) = delete;
  TPowersock& operator=(const TPowersock&) = delete;

  // --- published properties ---
  std::string Host;                  // name or dotted-decimal address of the module
  std::uint16_t Port = 0;            // TCP port of the module
  std::int32_t TimeOut = 0;          // ms for lookup, connect, send and ReadLn; 0 = none
  std::int32_t ReportLevel = 1;      // status texts of this level or lower are reported

  // Host and port used instead of Host/Port when the alternative host is not empty.
  std::string AlternativeHost;
  std::uint16_t AlternativePort = 0;

  // --- events ---
  std::function<void(TPowersock&)> OnDataAvailable;
  std::function<void(TPowersock&)> OnAccept;
  std::function<void(TPowersock&)> OnConnect;
  std::function<void(TPowersock&)> OnDisconnect;
  std::function<void(TPowersock&, std::uint16_t number, const std::string& text)> OnError;
  std::function<void(bool& retry)> OnInvalidHost;
  std::function<void(TPowersock&)> OnHostResolved;
  std::function<void(TPowersock&, const std::string& text)> OnStatus;
  std::function<void(TPowersock&)> OnConnectionFailed;

  // --- state ---
  bool Connected() const { return connected_; }
  std::int32_t LastError() const { return lastError_; }
  bool Aborted() const { return aborted_; }
  bool TimedOut() const { return timedOut_; }
  bool NoError() const { return noError_; }
  const std::string& LastStatus() const { return lastStatus_; }
  const std::vector<std::string>& WinsockInfo() const { return winsockInfo_; }
  const std::string& TransactionReply() const { return transactionReply_; }
  std::int16_t TransactionCode() const { return transactionCode_; }
  // The resolved IPv4 address in network byte order (0 = none).
  std::uint32_t RemoteAddress() const { return remoteAddress_; }
  // The error part of the last notification (0 when it carried none).
  int LastNotificationError() const { return lastNotificationError_; }
  // The underlying descriptor (-1 when none); for diagnostics and tests.
  int SocketHandle() const { return fd_; }

  // --- operations ---
  virtual int Accept();
  virtual void Connect();
  virtual void Disconnect();
  virtual std::string Transaction(const std::string& line);
  virtual void Cancel();

  void ResolveHost();
  void CloseSocket();
  void Write(const std::string& text);
  void WriteLn(const std::string& text);
  void SendBuffer(const char* buffer, std::uint16_t length);
  // Sends what the socket takes at once and never waits: the bytes taken (0 when it takes
  // none now), or the socket's error text. A vanished peer is such a failure, never a signal.
  Result<std::size_t> SendWithoutWaiting(std::string_view bytes);
  std::string Read(std::uint16_t count);
  std::string ReadLn();
  bool DataAvailable();
  void CheckSocketError(int ignoredCode);
  std::string SocketErrorText(int number);
  void ReportStatus(int level, const std::string& text);

  void StartTimeout();
  void StopTimeout();
  void TimeoutExpired();

  // Binds the component's socket to the port on all local addresses and listens, so that
  // Accept can take an incoming connection; throws ESockError on failure.
  void Listen(std::uint16_t port);

  // "host", "host:port", "[IPv6]:port" or a bare IPv6 address as the host field takes it;
  // without a port the module's default port 23. std::nullopt when a port is given but is
  // not a number from 1 to 65535, or the brackets are unbalanced.
  static std::optional<HostAndPort> SplitHostPort(const std::string& text);
  // The Windows Sockets number for a POSIX errno, and for a getaddrinfo result.
  static int SocketErrorNumber(int posixErrno);
  static int LookupErrorNumber(int gaiResult);
  // The fixed text of a number without the "number:" prefix; empty when not in the table.
  static std::string ErrorTableText(int number);

 private:
  void createSocket(bool lingerReset);
  void setLastSocketError(int number) { socketLibraryError_ = number; }
  void pumpAndSleep();
  // Connect's steps: the module's address (OnInvalidHost may offer another host once), and
  // the non-blocking connect whose outcome arrives as the connect notification; returns
  // the generation of the socket that connects.
  void resolveForConnect();
  std::uint32_t startConnect();

  // Readiness from the platform, turned into notifications.
  void onReadReady();
  void onWriteReady();
  void onHangupWatch();
  void notify(int event, int error);
  void armRead();
  void updateReadWatch();
  bool peerHungUp() const;
  // The host lookup runs on a helper thread; a wait that pumps events collects its answer
  // (noError_, lastNotificationError_, lookupResult_, eventSeen_) as it would a notification.
  void startLookup(const std::string& name);
  void collectLookup();
  void lookupAnswered(std::uint32_t address, int error);
  void dropLookup();
  [[noreturn]] static void raiseRange();

  std::array<char, kWorkBufferBytes> workBuffer_{};
  bool aborted_ = false;
  bool destroying_ = false;
  std::int32_t lastError_ = 0;
  int socketLibraryError_ = 0;  // what WSAGetLastError would return
  std::string lastStatus_;
  TThreadTimer* timeoutTimer_ = nullptr;
  bool noError_ = true;
  bool timedOut_ = false;
  bool eventSeen_ = false;
  std::uint32_t remoteAddress_ = 0;
  std::string transactionReply_;
  std::int16_t transactionCode_ = 0;
  std::vector<std::string> winsockInfo_;
  bool connected_ = false;
  int lastNotificationError_ = 0;

  int fd_ = -1;
  std::uint32_t generation_ = 0;   // bumped whenever the socket is replaced
  bool listening_ = false;
  bool established_ = false;      // the connect completed; reads and closes are watched
  bool connectFailed_ = false;   // the last connect attempt on this socket failed
  bool lingerReset_ = false;     // this socket closes with a reset
  bool connectPending_ = false;
  bool readArmed_ = false;        // a read notification may be given (until the next recv)
  bool closeReported_ = false;    // the peer's close was already notified
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  QTimer* hangupWatch_ = nullptr;
  std::optional<BackgroundCall<LookupAnswer>> lookup_;  // the lookup under way, if any
  std::uint32_t lookupResult_ = 0;
};

// A raw link on a duplicate of the component's connection, for one chip command: dropping
// it leaves the connection to the component. Bytes it took and the command did not use
// are dropped with it, as the line's next synchronisation would drain them anyway. Null
// when the component has no connection or its descriptor cannot be duplicated.
std::unique_ptr<NetworkLink> borrowConnection(const TPowersock& sock);

}  // namespace velkorn::link
