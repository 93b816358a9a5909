// A desktop session manager cut down to what a log-off does to one program:
// it prints the address to put in SESSION_MANAGER, then takes commands on
// standard input: "checkpoint" (save yourself, the session goes on) and
// "logout" (save yourself for a shutdown, then die). What happens is printed
// one word a line: "registered", "saved", "die", "closed".
#include <X11/ICE/ICElib.h>
#include <X11/SM/SMlib.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

SmsConn gClient = nullptr;
bool gShutdown = false;
std::vector<IceConn> gConnections;

void Say(const char* word) {
  std::printf("%s\n", word);
  std::fflush(stdout);
}

// No cookies in a private test session: every local client is welcome.
Bool AnyHost(char*) {
  return True;
}

Status RegisterClient(SmsConn c, SmPointer, char* previousId) {
  char* id = SmsGenerateClientID(c);
  if (id == nullptr) id = strdup("1lumbra-test-client");
  std::free(previousId);
  SmsRegisterClientReply(c, id);  // keeps a copy
  std::free(id);
  Say("registered");
  return 1;
}

void InteractRequest(SmsConn c, SmPointer, int) {
  SmsInteract(c);
}

void InteractDone(SmsConn, SmPointer, Bool) {}

void SaveYourselfRequest(SmsConn, SmPointer, int, Bool, int, Bool, Bool) {}

void SaveYourselfPhase2Request(SmsConn c, SmPointer) {
  SmsSaveYourselfPhase2(c);
}

void SaveYourselfDone(SmsConn c, SmPointer, Bool) {
  Say("saved");
  if (gShutdown) {
    SmsDie(c);
    Say("die");
  } else {
    SmsSaveComplete(c);
  }
}

void CloseConnection(SmsConn c, SmPointer, int count, char** reasons) {
  SmFreeReasons(count, reasons);
  IceConn ice = SmsGetIceConnection(c);
  SmsCleanUp(c);
  IceSetShutdownNegotiation(ice, False);
  IceCloseConnection(ice);
  for (auto it = gConnections.begin(); it != gConnections.end(); ++it)
    if (*it == ice) {
      gConnections.erase(it);
      break;
    }
  gClient = nullptr;
  Say("closed");
}

void SetProperties(SmsConn, SmPointer, int count, SmProp** props) {
  for (int i = 0; i < count; ++i) SmFreeProperty(props[i]);
  std::free(props);
}

void DeleteProperties(SmsConn, SmPointer, int count, char** names) {
  for (int i = 0; i < count; ++i) std::free(names[i]);
  std::free(names);
}

void GetProperties(SmsConn c, SmPointer) {
  SmsReturnProperties(c, 0, nullptr);
}

Status NewClient(SmsConn c, SmPointer, unsigned long* mask, SmsCallbacks* cb, char**) {
  gClient = c;
  *mask = SmsRegisterClientProcMask | SmsInteractRequestProcMask | SmsInteractDoneProcMask |
          SmsSaveYourselfRequestProcMask | SmsSaveYourselfP2RequestProcMask |
          SmsSaveYourselfDoneProcMask | SmsCloseConnectionProcMask | SmsSetPropertiesProcMask |
          SmsDeletePropertiesProcMask | SmsGetPropertiesProcMask;
  cb->register_client.callback = RegisterClient;
  cb->interact_request.callback = InteractRequest;
  cb->interact_done.callback = InteractDone;
  cb->save_yourself_request.callback = SaveYourselfRequest;
  cb->save_yourself_phase2_request.callback = SaveYourselfPhase2Request;
  cb->save_yourself_done.callback = SaveYourselfDone;
  cb->close_connection.callback = CloseConnection;
  cb->set_properties.callback = SetProperties;
  cb->delete_properties.callback = DeleteProperties;
  cb->get_properties.callback = GetProperties;
  return 1;
}

void Command(const std::string& line) {
  if (gClient == nullptr) {
    Say("no-client");
    return;
  }
  if (line == "checkpoint") {
    gShutdown = false;
    SmsSaveYourself(gClient, SmSaveBoth, False, SmInteractStyleNone, False);
  } else if (line == "logout") {
    gShutdown = true;
    SmsSaveYourself(gClient, SmSaveBoth, True, SmInteractStyleAny, False);
  }
}

}  // namespace

int main() {
  char error[256] = "";
  if (!SmsInitialize("lumbra-test", "1.0", NewClient, nullptr, AnyHost, sizeof error, error)) {
    std::fprintf(stderr, "cannot start the session manager: %s\n", error);
    return 1;
  }
  int count = 0;
  IceListenObj* listeners = nullptr;
  if (!IceListenForConnections(&count, &listeners, sizeof error, error)) {
    std::fprintf(stderr, "cannot listen: %s\n", error);
    return 1;
  }
  for (int i = 0; i < count; ++i) IceSetHostBasedAuthProc(listeners[i], AnyHost);
  char* address = IceComposeNetworkIdList(count, listeners);
  Say(address);
  std::free(address);

  std::string input;
  for (;;) {
    std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}};
    for (int i = 0; i < count; ++i)
      fds.push_back({IceGetListenConnectionNumber(listeners[i]), POLLIN, 0});
    for (IceConn c : gConnections) fds.push_back({IceConnectionNumber(c), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;

    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char buf[256];
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n <= 0) break;
      input.append(buf, static_cast<size_t>(n));
      for (size_t nl; (nl = input.find('\n')) != std::string::npos; input.erase(0, nl + 1))
        Command(input.substr(0, nl));
    }
    for (int i = 0; i < count; ++i) {
      if (!(fds[1 + i].revents & POLLIN)) continue;
      IceAcceptStatus status;
      IceConn c = IceAcceptConnection(listeners[i], &status);
      if (c != nullptr && status == IceAcceptSuccess) gConnections.push_back(c);
    }
    // A copy: a connection may close while its messages are processed.
    std::vector<IceConn> connections = gConnections;
    for (size_t i = 0; i < connections.size(); ++i) {
      if (!(fds[1 + count + i].revents & (POLLIN | POLLHUP))) continue;
      IceConn c = connections[i];
      if (IceProcessMessages(c, nullptr, nullptr) == IceProcessMessagesIOError) {
        IceSetShutdownNegotiation(c, False);
        IceCloseConnection(c);
        for (auto it = gConnections.begin(); it != gConnections.end(); ++it)
          if (*it == c) {
            gConnections.erase(it);
            break;
          }
        if (gClient != nullptr) {
          gClient = nullptr;
          Say("closed");
        }
      }
    }
  }
  IceFreeListenObjs(count, listeners);
  return 0;
}
