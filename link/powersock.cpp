#include "link/powersock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "link/name_lookup.h"
#include "link/net_address.h"
#include "link/tcp_link.h"

namespace velkorn::link {

namespace {

// The number Windows Sockets gives an operation that has to wait (a non-blocking send or
// connect); most callers pass it as the code to ignore.
constexpr int kWouldBlock = 10035;

// Status levels: 8 for the steps of each operation, 4 for the inner ones, 1 for replies.
constexpr int kLevelStep = 8;
constexpr int kLevelInner = 4;
constexpr int kLevelReply = 1;

// While the peer's close cannot be seen through read readiness (unread bytes wait), it is
// looked for this often.
constexpr int kHangupWatchMs = 20;

// Components that started the socket layer; the last one to go stops it.
int gWinsockUsers = 0;

const char* const kInitFailed = "Die Initialisierung der Windows-Sockets ist fehlgeschlagen";
const char* const kLookupTimedOut = "Zeit\xC3\xBC" "berschreitung bei Host-Lookup";
const char* const kLookupAborted = "Host-Lookup abgebrochen";
const char* const kLookupFailed = "Host-Lookup fehlgeschlagen";
const char* const kNoAddress = "Null Externe Adresse";
const char* const kAlreadyConnected = "Bereits verbunden";
const char* const kConnectTimedOut = "Zeit\xC3\xBC" "berschreitung bei Verbindung";
const char* const kConnectAborted = "Verbindung abgebrochen";
const char* const kConnectFailed = "Verbindung fehlgeschlagen";
const char* const kSendAborted = "Socket-send abgebrochen";
const char* const kReadLnAborted = "Socket-readln abgebrochen";
const char* const kAcceptAborted = "Annahme abgebrochen";
const char* const kAcceptFailed = "Fehler beim Herstellen der Datenverbindung";

struct ErrorRow {
  int number;
  const char* text;
};

// The classic Berkeley texts of the Windows Sockets numbers, in their fixed order.
constexpr ErrorRow kErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};
static_assert(std::size(kErrorTable) == 51);

// Errors a non-blocking connect may report at once on a loopback or local network, where
// Windows Sockets would report them through the connect notification.
bool isConnectOutcome(int e) {
  return e == ECONNREFUSED || e == ETIMEDOUT || e == EHOSTUNREACH || e == ENETUNREACH ||
         e == ECONNRESET;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner), timer_(new QTimer(this)) {
  connect(timer_, &QTimer::timeout, this, &TThreadTimer::Timer);
}

TThreadTimer::~TThreadTimer() {
  enabled_ = false;
  timer_->stop();
}

void TThreadTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  UpdateTimer();
}

void TThreadTimer::SetInterval(std::int32_t intervalMs) {
  if (intervalMs == intervalMs_) return;
  intervalMs_ = intervalMs;
  UpdateTimer();
}

void TThreadTimer::SetOnTimer(std::function<void(TThreadTimer&)> handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
  timer_->stop();
  if (intervalMs_ != 0 && enabled_ && onTimer_) {
    if (intervalMs_ > 0 && QAbstractEventDispatcher::instance(thread()) != nullptr) {
      timer_->start(intervalMs_);
    }
    if (!timer_->isActive()) throw std::runtime_error("Kein Zeitgeber");
  }
}

void TThreadTimer::Timer() {
  if (!onTimer_) return;
  try {
    onTimer_(*this);
  } catch (const std::exception& e) {
    // No handler may let a failure run into the event loop; it is logged instead.
    qWarning("%s", e.what());
  } catch (...) {
    qWarning("unknown failure in a timer handler");
  }
}

// ---------------------------------------------------------------------------------------
// TPowersock: life cycle

TPowersock::TPowersock(QObject* owner) : QObject(owner) {
  ReportStatus(kLevelStep, "Erzeugen");
  timeoutTimer_ = new TThreadTimer(this);
  timeoutTimer_->SetEnabled(false);
  timeoutTimer_->SetOnTimer([this](TThreadTimer&) { TimeoutExpired(); });
  TimeOut = 0;
  readNotifier_ = new QSocketNotifier(QSocketNotifier::Read, this);
  readNotifier_->setEnabled(false);
  connect(readNotifier_, &QSocketNotifier::activated, this, &TPowersock::onReadReady);
  writeNotifier_ = new QSocketNotifier(QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  connect(writeNotifier_, &QSocketNotifier::activated, this, &TPowersock::onWriteReady);
  hangupWatch_ = new QTimer(this);
  hangupWatch_->setInterval(kHangupWatchMs);
  connect(hangupWatch_, &QTimer::timeout, this, &TPowersock::onHangupWatch);

  ReportStatus(kLevelStep, "Winsock wird initialisiert");
  ++gWinsockUsers;
  if (gWinsockUsers == 1) {
    long maxSockets = ::sysconf(_SC_OPEN_MAX);
    winsockInfo_ = {"Version= 1.1",
                     "Hauptversion= 2.2",
                     "Beschreibung= POSIX sockets",
                     "System= Running",
                     "Max Sockets= " + std::to_string(maxSockets),
                     "Max Upd Pack.-Gr\xC3\xB6\xC3\x9F" "e= 65507"};
  }
  try {
    // Notifications need an event queue on this thread; without one every wait would
    // last for ever.
    if (QAbstractEventDispatcher::instance(QThread::currentThread()) == nullptr) {
      throw ESockError(kInitFailed);
    }
    createSocket(true);
  } catch (...) {
    --gWinsockUsers;
    throw ESockError(kInitFailed);
  }
}

TPowersock::~TPowersock() {
  try {
    ReportStatus(kLevelStep, "L\xC3\xB6schen");
    Cancel();
  } catch (...) {
  }
  dropLookup();
  try {
    timeoutTimer_->SetEnabled(false);
  } catch (...) {
  }
  destroying_ = true;
  try {
    CloseSocket();
  } catch (...) {
  }
  --gWinsockUsers;
}

void TPowersock::createSocket(bool lingerReset) {
  // The first socket closes with a reset (linger on, 0 s): unsent data is dropped. Its
  // replacements close normally.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                    lingerReset ? IPPROTO_TCP : 0);
  if (fd < 0) {
    setLastSocketError(SocketErrorNumber(errno));
    CheckSocketError(kWouldBlock);
    throw ESockError(SocketErrorText(socketLibraryError_));
  }
  if (lingerReset) {
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  fd_ = fd;
  ++generation_;
  lingerReset_ = lingerReset;
  connectFailed_ = false;
  listening_ = false;
  established_ = false;
  connectPending_ = false;
  readArmed_ = false;
  closeReported_ = false;
  readNotifier_->setEnabled(false);
  readNotifier_->setSocket(fd);
  writeNotifier_->setEnabled(false);
  writeNotifier_->setSocket(fd);
}

// ---------------------------------------------------------------------------------------
// Status, errors, time-out

void TPowersock::ReportStatus(int level, const std::string& text) {
  if (level > ReportLevel) return;
  try {
    lastStatus_ = text;
    if (!destroying_ && OnStatus) OnStatus(*this, text);
  } catch (...) {
    // A status observer never disturbs the operation that reports.
  }
}

int TPowersock::SocketErrorNumber(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES:
    case EPERM: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return 10022;
    case EMFILE:
    case ENFILE: return 10024;
    case EAGAIN: return 10035;  // EWOULDBLOCK is the same number here
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    // A send after the peer went away: Windows Sockets reports the reset.
    case EPIPE:
    case ECONNRESET: return 10054;
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return 10057;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return 10060;
    case ECONNREFUSED: return 10061;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    case ENOTEMPTY: return 10066;
    case EUSERS: return 10068;
    case EDQUOT: return 10069;
    case ESTALE: return 10070;
    case EREMOTE: return 10071;
    default:
      // Out of the table's range, so it is never mistaken for one of its rows (and never
      // for the ignored would-block number), yet still above 10000 and so reported.
      return 20000 + e;
  }
}

int TPowersock::LookupErrorNumber(int gaiResult) {
  switch (gaiResult) {
    case 0: return 0;
    case EAI_NONAME: return 11001;
    case EAI_AGAIN: return 11002;
    case EAI_FAIL: return 11003;
#ifdef EAI_NODATA
    case EAI_NODATA: return 11004;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return 11004;
#endif
    case EAI_MEMORY: return 10055;
    case EAI_SYSTEM: return SocketErrorNumber(errno);
    default: return 11003;
  }
}

std::string TPowersock::ErrorTableText(int number) {
  if (number == 0) return {};
  for (const ErrorRow& row : kErrorTable) {
    if (row.number == number) return row.text;
  }
  return {};
}

std::string TPowersock::SocketErrorText(int number) {
  ReportStatus(kLevelStep, "Fehlermeldung wird gelesen");
  if (number == 0) return {};
  for (const ErrorRow& row : kErrorTable) {
    if (row.number == number) return std::to_string(number) + ":" + row.text;
  }
  return "Unbekannte Fehlernummer " + std::to_string(number);
}

void TPowersock::CheckSocketError(int ignoredCode) {
  lastError_ = socketLibraryError_;
  if (lastError_ != ignoredCode && lastError_ > 10000) {
    std::string text = SocketErrorText(lastError_);
    if (OnError) OnError(*this, static_cast<std::uint16_t>(lastError_), text);
    throw ESockError(text);
  }
}

void TPowersock::raiseRange() {
  throw std::out_of_range(kRangeFailureText);
}

void TPowersock::StartTimeout() {
  ReportStatus(kLevelStep, "Zeitgeber An");
  timedOut_ = false;
  if (TimeOut < 0) raiseRange();
  timeoutTimer_->SetInterval(TimeOut);
  timeoutTimer_->SetEnabled(true);
}

void TPowersock::StopTimeout() {
  ReportStatus(kLevelStep, "Zeitgeber Aus");
  timeoutTimer_->SetEnabled(false);
}

void TPowersock::TimeoutExpired() {
  ReportStatus(kLevelStep, "Zeitgeber ausgel\xC3\xB6st");
  StopTimeout();
  timedOut_ = true;
  eventSeen_ = true;
  Cancel();
}

void TPowersock::Cancel() {
  ReportStatus(kLevelStep, "Abbrechen");
  ReportStatus(kLevelStep, "Beim Abbrechen");
  aborted_ = true;
}

void TPowersock::pumpAndSleep() {
  std::this_thread::sleep_for(std::chrono::milliseconds(kWaitSliceMs));
  QCoreApplication::processEvents();
  // A finished host lookup counts as one more notification.
  collectLookup();
}

// ---------------------------------------------------------------------------------------
// Notifications

void TPowersock::notify(int event, int error) {
  noError_ = (error == 0);
  lastNotificationError_ = error;
  try {
    switch (event) {
      case kEventRead:
        if (OnDataAvailable) OnDataAvailable(*this);
        break;
      case kEventAccept:
        connected_ = true;
        // Lets a waiting Accept go on; the notification alone would leave it waiting.
        eventSeen_ = true;
        if (OnAccept) OnAccept(*this);
        break;
      case kEventConnect:
        if (noError_) {
          connected_ = true;
          if (OnConnect) OnConnect(*this);
        }
        break;
      case kEventClose:
        // Bytes still waiting keep the connection: the owner reads them first.
        if (!DataAvailable()) CloseSocket();
        break;
      default:
        break;
    }
  } catch (...) {
    // Failures inside notification handling never reach the event loop.
  }
}

bool TPowersock::peerHungUp() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, static_cast<short>(POLLIN | POLLRDHUP), 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void TPowersock::updateReadWatch() {
  if (fd_ < 0 || listening_) {
    hangupWatch_->stop();
    return;
  }
  if (!established_) {
    // An unconnected socket reads as hung up: its readiness would fire without pause.
    readNotifier_->setEnabled(false);
    hangupWatch_->stop();
    return;
  }
  char probe = 0;
  const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  const bool readable = n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  const bool dataWaits = n > 0;
  const bool givesRead = dataWaits && readArmed_;
  const bool givesClose =
      !closeReported_ && ((readable && !dataWaits) || (dataWaits && peerHungUp()));
  // Read readiness is level-triggered: listen for it while nothing is readable (new bytes
  // or the close will wake it) or while it leads to a notification, else it would spin.
  const bool listen = !readable || givesRead || givesClose;
  readNotifier_->setEnabled(listen);
  // With unread bytes and no notification due, a close behind them is watched for.
  if (!listen && dataWaits && !closeReported_) {
    if (!hangupWatch_->isActive()) hangupWatch_->start();
  } else {
    hangupWatch_->stop();
  }
}

void TPowersock::armRead() {
  readArmed_ = true;
  updateReadWatch();
}

void TPowersock::onReadReady() {
  if (fd_ < 0) return;
  const std::uint32_t generation = generation_;
  if (listening_) {
    readNotifier_->setEnabled(false);  // until Accept takes the connection
    notify(kEventAccept, 0);
    return;
  }
  char probe = 0;
  const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  const int peekErrno = errno;
  if (n < 0 && (peekErrno == EAGAIN || peekErrno == EWOULDBLOCK)) {
    updateReadWatch();
    return;
  }
  const bool dataWaits = n > 0;
  if (dataWaits && readArmed_) {
    readArmed_ = false;
    notify(kEventRead, 0);
    if (generation != generation_) return;
  }
  const bool peerClosed = n == 0 || n < 0 || peerHungUp();
  if (peerClosed && !closeReported_) {
    closeReported_ = true;
    notify(kEventClose, n < 0 ? SocketErrorNumber(peekErrno) : 0);
    if (generation != generation_) return;
  }
  updateReadWatch();
}

void TPowersock::onHangupWatch() {
  if (fd_ < 0 || closeReported_ || !established_) {
    hangupWatch_->stop();
    return;
  }
  if (!peerHungUp()) return;
  const std::uint32_t generation = generation_;
  closeReported_ = true;
  notify(kEventClose, 0);
  if (generation == generation_) updateReadWatch();
}

void TPowersock::onWriteReady() {
  writeNotifier_->setEnabled(false);
  if (!connectPending_ || fd_ < 0) return;
  connectPending_ = false;
  int soError = 0;
  socklen_t len = sizeof soError;
  if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
  if (soError == 0) {
    established_ = true;
    closeReported_ = false;
    readArmed_ = true;
    updateReadWatch();
    notify(kEventConnect, 0);
  } else {
    connectFailed_ = true;
    notify(kEventConnect, SocketErrorNumber(soError));
  }
}

// ---------------------------------------------------------------------------------------
// Host lookup and connection

void TPowersock::dropLookup() { lookup_.reset(); }

void TPowersock::startLookup(const std::string& name) {
  dropLookup();
  lookupResult_ = 0;
  auto started = link::startLookup(name, {}, AF_INET);
  // No thread for the lookup: it fails like a lookup the resolver could not run.
  if (!started) return lookupAnswered(0, 11002);
  lookup_.emplace(std::move(*started));
}

void TPowersock::collectLookup() {
  if (!lookup_ || !lookup_->finished()) return;
  const LookupAnswer answer = lookup_->take();
  lookup_.reset();
  std::uint32_t address = 0;
  int error = answer.status == EAI_SYSTEM ? SocketErrorNumber(answer.systemError) : LookupErrorNumber(answer.status);
  if (answer.status == 0) {
    const addrinfo* found = answer.addresses.get();
    if (found != nullptr && found->ai_addr != nullptr && found->ai_family == AF_INET) {
      sockaddr_in in{};
      std::memcpy(&in, found->ai_addr, sizeof in);
      address = in.sin_addr.s_addr;
    } else {
      error = 11004;
    }
  }
  lookupAnswered(address, error);
}

void TPowersock::lookupAnswered(std::uint32_t address, int error) {
  noError_ = (error == 0);
  lastNotificationError_ = error;
  if (error != 0) setLastSocketError(error);
  lookupResult_ = address;
  eventSeen_ = true;
}

void TPowersock::ResolveHost() {
  ReportStatus(kLevelStep, "Auf Host zur\xC3\xBC" "ckschreiben");
  const std::string& host = AlternativeHost.empty() ? Host : AlternativeHost;
  const std::size_t length = std::min(host.size(), kWorkBufferBytes - 1);
  std::memcpy(workBuffer_.data(), host.data(), length);
  workBuffer_[length] = '\0';

  const in_addr_t numeric = ::inet_addr(workBuffer_.data());
  if (numeric != INADDR_NONE) {
    remoteAddress_ = numeric;
    return;
  }
  remoteAddress_ = 0;
  StartTimeout();
  eventSeen_ = false;
  startLookup(std::string(workBuffer_.data()));
  while (!eventSeen_ && !timedOut_ && !aborted_) pumpAndSleep();
  // A lookup given up on may still answer later; its answer must not land in a later wait.
  dropLookup();
  StopTimeout();
  if (timedOut_) throw ESockError(kLookupTimedOut, ESockError::Cause::LookupTimedOut);
  if (aborted_) throw ESockError(kLookupAborted, ESockError::Cause::LookupAborted);
  if (!noError_) throw ESockError(kLookupFailed);
  remoteAddress_ = lookupResult_;
  if (OnHostResolved) OnHostResolved(*this);
}

void TPowersock::Connect() {
  ReportStatus(kLevelStep, "Herstellen der Verbindung");
  aborted_ = false;
  lastNotificationError_ = 0;  // what this connect meets, not what an earlier one met
  if (connected_) throw ESockError(kAlreadyConnected);
  resolveForConnect();
  const std::uint32_t generation = startConnect();
  StartTimeout();
  while (!connected_ && !timedOut_ && !aborted_ && noError_) {
    pumpAndSleep();
    // A handler that closed the socket meanwhile ends the wait: no notification would
    // ever come for the socket that was connecting.
    if (generation != generation_ && !connected_) noError_ = false;
  }
  StopTimeout();
  if (!timedOut_ && !aborted_ && noError_) return;
  if (OnConnectionFailed) OnConnectionFailed(*this);
  if (timedOut_) throw ESockError(kConnectTimedOut, ESockError::Cause::ConnectTimedOut);
  if (aborted_) throw ESockError(kConnectAborted);
  throw ESockError(kConnectFailed);
}

void TPowersock::resolveForConnect() {
  int retries = 0;
  for (;;) {
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      // A lookup that ran out of time or was cancelled ends the connect; one that found no
      // address may still be saved by OnInvalidHost.
      if (e.cause() != ESockError::Cause::Other) throw;
      remoteAddress_ = 0;
    }
    if (remoteAddress_ != 0) break;
    if (retries > 0 || !OnInvalidHost) throw ESockError(kNoAddress, ESockError::Cause::NoAddress);
    bool retry = false;
    OnInvalidHost(retry);
    if (!retry) throw ESockError(kNoAddress, ESockError::Cause::NoAddress);
    ++retries;
  }
}

std::uint32_t TPowersock::startConnect() {
  // A close that failed earlier may have left no socket; every connect needs one.
  if (fd_ < 0 && !destroying_) createSocket(false);
  // Windows Sockets lets a socket try again after a refused connect; here such a socket
  // only answers "connection aborted", so a fresh one of the same kind takes its place
  // (quietly: for the owner it is still the same socket).
  if (connectFailed_ && !connectPending_) {
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    ::close(fd_);
    fd_ = -1;
    createSocket(lingerReset_);
  }

  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(AlternativeHost.empty() ? Port : AlternativePort);
  remote.sin_addr.s_addr = remoteAddress_;

  eventSeen_ = false;
  noError_ = true;
  const std::uint32_t generation = generation_;
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0) {
    // Done at once (loopback): the connect notification still follows.
    connectPending_ = true;
    writeNotifier_->setEnabled(true);
  } else {
    const int e = errno;
    if (e == EINPROGRESS || e == EAGAIN) {
      // What Windows Sockets reports as would-block for a pending non-blocking connect.
      setLastSocketError(kWouldBlock);
      CheckSocketError(kWouldBlock);
      connectPending_ = true;
      writeNotifier_->setEnabled(true);
    } else if (isConnectOutcome(e)) {
      // The outcome is known already; it arrives as the connect notification.
      setLastSocketError(kWouldBlock);
      CheckSocketError(kWouldBlock);
      connectPending_ = true;
      const int number = SocketErrorNumber(e);
      QMetaObject::invokeMethod(
          this,
          [this, generation, number] {
            if (generation != generation_ || !connectPending_) return;
            connectPending_ = false;
            connectFailed_ = true;
            notify(kEventConnect, number);
          },
          Qt::QueuedConnection);
    } else {
      setLastSocketError(SocketErrorNumber(e));
      CheckSocketError(kWouldBlock);
    }
  }
  return generation;
}

void TPowersock::Disconnect() {
  ReportStatus(kLevelStep, "Verbindung wird abgebrochen");
  CloseSocket();
}

void TPowersock::CloseSocket() {
  ReportStatus(kLevelInner, "Schlie\xC3\x9F" "en des Socket anfordern");
  connected_ = false;
  if (fd_ < 0) return;
  // The notifiers let go of the descriptor before it is closed.
  readNotifier_->setEnabled(false);
  writeNotifier_->setEnabled(false);
  hangupWatch_->stop();
  const int rc = ::close(fd_);
  const int e = errno;
  fd_ = -1;
  ++generation_;
  established_ = false;
  listening_ = false;
  connectPending_ = false;
  if (rc != 0) {
    setLastSocketError(SocketErrorNumber(e));
    CheckSocketError(kWouldBlock);
    return;
  }
  if (destroying_) return;
  try {
    if (OnDisconnect) OnDisconnect(*this);
  } catch (...) {
    // The component still holds a ready socket when the owner's handler fails.
    createSocket(false);
    throw;
  }
  createSocket(false);
}

void TPowersock::Listen(std::uint16_t port) {
  if (fd_ < 0) createSocket(false);
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd_, SOMAXCONN) != 0) {
    setLastSocketError(SocketErrorNumber(errno));
    CheckSocketError(0);
    return;
  }
  listening_ = true;
  eventSeen_ = false;
  readNotifier_->setEnabled(true);
}

int TPowersock::Accept() {
  ReportStatus(kLevelInner, "Annahme");
  StartTimeout();
  while (!eventSeen_ && !aborted_) pumpAndSleep();
  StopTimeout();
  if (aborted_) {
    aborted_ = false;
    throw ESockError(kAcceptAborted);
  }
  if (!noError_) throw ESockError(kAcceptFailed);
  eventSeen_ = false;
  const int accepted = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  const int e = errno;
  if (listening_ && fd_ >= 0) readNotifier_->setEnabled(true);
  if (accepted < 0) {
    setLastSocketError(SocketErrorNumber(e));
    CheckSocketError(kWouldBlock);
    throw ESockError(kAcceptFailed);
  }
  return accepted;
}

// ---------------------------------------------------------------------------------------
// Sending and receiving

void TPowersock::Write(const std::string& text) {
  ReportStatus(kLevelStep, "Schreiben");
  const std::size_t length = std::min(text.size(), kWorkBufferBytes - 1);
  std::memcpy(workBuffer_.data(), text.data(), length);
  workBuffer_[length] = '\0';
  SendBuffer(workBuffer_.data(), 0);
}

void TPowersock::WriteLn(const std::string& text) {
  ReportStatus(kLevelStep, "Writeln");
  const std::string line = text + "\r\n";
  const std::size_t length = std::min(line.size(), kWorkBufferBytes - 1);
  std::memcpy(workBuffer_.data(), line.data(), length);
  workBuffer_[length] = '\0';
  SendBuffer(workBuffer_.data(), 0);
}

namespace {
// Stops the time-out timer however the operation that started it ends.
struct StopTimeoutOnExit {
  TPowersock& sock;
  ~StopTimeoutOnExit() {
    try {
      sock.StopTimeout();
    } catch (...) {
    }
  }
};
}  // namespace

Result<std::size_t> TPowersock::SendWithoutWaiting(std::string_view bytes) {
  for (;;) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 && (n > 0 || bytes.empty())) return static_cast<std::size_t>(n);
    const int e = n < 0 ? errno : EPIPE;
    if (e == EINTR) continue;
    if (e == EAGAIN || e == EWOULDBLOCK) return std::size_t{0};
    return makeError(e == EPIPE || e == ECONNRESET ? ErrorCode::Closed : ErrorCode::Failed,
                     SocketErrorText(SocketErrorNumber(e)));
  }
}

std::unique_ptr<NetworkLink> borrowConnection(const TPowersock& sock) {
  if (sock.SocketHandle() < 0) return nullptr;
  const int fd = ::fcntl(sock.SocketHandle(), F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  NetAddress address;
  address.scheme = NetScheme::Tcp;
  address.host = sock.Host;
  address.port = sock.Port;
  return std::make_unique<TcpLink>(std::move(address), fd);
}

void TPowersock::SendBuffer(const char* buffer, std::uint16_t length) {
  ReportStatus(kLevelInner, "Puffer senden");
  StartTimeout();
  const StopTimeoutOnExit guard{*this};

  if (!aborted_) {
    std::size_t total = length;
    if (total == 0) {
      total = ::strnlen(buffer, kMaxTransferBytes + 1);
      if (total > kMaxTransferBytes) raiseRange();
    }
    std::size_t remaining = total;
    auto lastProgress = std::chrono::steady_clock::now();
    while (remaining != 0 && !aborted_) {
      // MSG_NOSIGNAL: a peer that vanished gives an error here, never SIGPIPE.
      const ssize_t sent = ::send(fd_, buffer + (total - remaining), remaining,
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent == 0) break;
      if (sent < 0) {
        const int e = errno;
        if (e == EINTR) continue;
        // A socket that never got connected answers "broken pipe" here, where Windows
        // Sockets says "not connected".
        setLastSocketError(e == EPIPE && !established_ ? SocketErrorNumber(ENOTCONN)
                                                       : SocketErrorNumber(e));
        CheckSocketError(kWouldBlock);
        // The peer reads nothing: give up after a bound instead of spinning for ever.
        if (std::chrono::steady_clock::now() - lastProgress >
            std::chrono::milliseconds(kSendStallLimitMs)) {
          setLastSocketError(SocketErrorNumber(ETIMEDOUT));
          CheckSocketError(kWouldBlock);
        }
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, kWaitSliceMs);
        continue;
      }
      remaining -= static_cast<std::size_t>(sent);
      lastProgress = std::chrono::steady_clock::now();
    }
  }
  if (aborted_) {
    aborted_ = false;
    throw EAbortError(kSendAborted);
  }
}

std::string TPowersock::Read(std::uint16_t count) {
  ReportStatus(kLevelStep, "Read( " + std::to_string(count) + " )");
  std::size_t wanted = count;
  if (count == 0) {
    // At most what one count can carry, so a full buffer is never read as "nothing".
    const ssize_t n = ::recv(fd_, workBuffer_.data(), kMaxTransferBytes, MSG_PEEK | MSG_DONTWAIT);
    const int e = errno;
    readArmed_ = true;
    if (n < 0) {
      setLastSocketError(SocketErrorNumber(e));
      updateReadWatch();
      CheckSocketError(kWouldBlock);
      wanted = 0;
    } else {
      wanted = static_cast<std::size_t>(n);
    }
  } else {
    do {
      const ssize_t n = ::recv(fd_, workBuffer_.data(), kWorkBufferBytes - 1, MSG_PEEK | MSG_DONTWAIT);
      const int e = errno;
      armRead();
      if (n >= static_cast<ssize_t>(count)) break;
      if (n == 0) return {};
      if (n < 0) {
        setLastSocketError(SocketErrorNumber(e));
        CheckSocketError(kWouldBlock);
      }
      // Wait for more bytes without burning the processor, then let the queue run.
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, kWaitSliceMs);
      QCoreApplication::processEvents();
    } while (!aborted_);
  }
  if (aborted_) {
    aborted_ = false;
    throw EAbortError(kSendAborted);
  }
  if (wanted == 0) {
    updateReadWatch();
    return {};
  }
  std::string result(wanted, '\0');
  const ssize_t got = ::recv(fd_, result.data(), wanted, MSG_DONTWAIT);
  const int e = errno;
  armRead();
  if (got < 0) {
    setLastSocketError(SocketErrorNumber(e));
    CheckSocketError(kWouldBlock);
    return {};
  }
  result.resize(static_cast<std::size_t>(got));
  return result;
}

std::string TPowersock::ReadLn() {
  ReportStatus(kLevelStep, "ReadLn");
  StartTimeout();
  const StopTimeoutOnExit guard{*this};
  do {
    const ssize_t n = ::recv(fd_, workBuffer_.data(), kWorkBufferBytes - 1, MSG_PEEK | MSG_DONTWAIT);
    const int e = errno;
    if (n > 0) {
      const void* lf = std::memchr(workBuffer_.data(), '\n', static_cast<std::size_t>(n));
      if (lf != nullptr) {
        const std::size_t wanted =
            static_cast<std::size_t>(static_cast<const char*>(lf) - workBuffer_.data()) + 1;
        std::string line(wanted, '\0');
        const ssize_t got = ::recv(fd_, line.data(), wanted, MSG_DONTWAIT);
        armRead();
        line.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return line;
      }
    } else if (n == 0) {
      armRead();
      return {};
    } else {
      setLastSocketError(SocketErrorNumber(e));
      CheckSocketError(kWouldBlock);
    }
    armRead();
    pumpAndSleep();
  } while (!aborted_);
  aborted_ = false;
  throw EAbortError(kReadLnAborted);
}

bool TPowersock::DataAvailable() {
  ReportStatus(kLevelStep, "Daten verf\xC3\xBC" "gbar");
  if (fd_ < 0) return false;
  char probe = 0;
  const ssize_t n = ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  armRead();
  return n >= 1;
}

std::string TPowersock::Transaction(const std::string& line) {
  ReportStatus(kLevelStep, "Transaktion");
  transactionCode_ = 0;
  WriteLn(line);
  transactionReply_ = ReadLn();
  ReportStatus(kLevelReply, transactionReply_);
  std::int64_t code = 0;
  for (std::size_t i = 0; i < transactionReply_.size() && i < 10; ++i) {
    const char c = transactionReply_[i];
    if (c < '0' || c > '9') break;
    code = code * 10 + (c - '0');
  }
  transactionCode_ = static_cast<std::int16_t>(code);
  return transactionReply_;
}

// ---------------------------------------------------------------------------------------

std::optional<HostAndPort> TPowersock::SplitHostPort(const std::string& text) {
  // The network links' reading: an IPv6 address in brackets may carry a port, a bare one is
  // all host. The host field takes what a link refuses (no host, no port): those go to the
  // connect, which says what is wrong with them.
  const auto split = splitHostPort(text);
  if (!split) return std::nullopt;
  if (!split->hasPort) return HostAndPort{std::string(split->host), kDefaultModulePort};
  const auto port = parsePortNumber(split->port);
  if (!port) return std::nullopt;
  return HostAndPort{std::string(split->host), static_cast<std::uint16_t>(*port)};
}

}  // namespace velkorn::link
