// A software CAC card for the smart-card stack test: libcacard emulates the card from
// an NSS database (key pairs and certificates by nickname; the database password is
// the card's PIN) and this program connects it to a reader of the vpcd driver that
// pcscd loaded. The card is in the reader while the program runs; ending it (SIGTERM,
// or vpcd closing the connection) takes the card out.
//
//   ankor_vcard_bridge NSSDIR PORT NICKNAME...
//
// vpcd's messages: a 2-byte big-endian length, then the body. A body of one byte is a
// control code (0 power off, 1 power on, 2 reset, 4 send the ATR); a longer one is a
// command APDU, answered with the response APDU in the same framing.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libcacard.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

// Owner of the connection to vpcd.
class Connection {
 public:
  explicit Connection(int fd) noexcept : fd_(fd) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;  // one close per descriptor
  Connection& operator=(const Connection&) = delete;

  // One message; false when vpcd closed the connection or it failed.
  bool receive(Bytes& body) {
    unsigned char header[2];
    if (!readAll(header, 2)) return false;
    body.resize((header[0] << 8) | header[1]);
    return readAll(body.data(), body.size());
  }

  // Length and body in one write: with Nagle off, each answer leaves at once.
  bool send(const unsigned char* data, std::size_t size) {
    Bytes message = {static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    message.insert(message.end(), data, data + size);
    std::size_t done = 0;
    while (done < message.size()) {
      const ssize_t n = write(fd_, message.data() + done, message.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  bool readAll(unsigned char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      // Delayed acknowledgements would hold each exchange back; ask for quick ones
      // before every read (the kernel clears the flag again).
      int one = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
      const ssize_t n = read(fd_, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  int fd_;
};

// Connects to vpcd's reader on localhost, retrying for up to five seconds while pcscd
// brings the driver up.
int connectToReader(unsigned short port) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    close(fd);
    usleep(50 * 1000);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s NSSDIR PORT NICKNAME...\n", argv[0]);
    return 2;
  }
  std::string options = std::string("db=\"sql:") + argv[1] + "\" use_hw=no soft=(,Virtual CAC,CAC,";
  for (int i = 3; i < argc; ++i) options += std::string(",") + argv[i];
  options += ")";
  if (vcard_emul_init(vcard_emul_options(options.c_str())) != VCARD_EMUL_OK) {
    std::fprintf(stderr, "vcard_bridge: the NSS database gives no card\n");
    return 1;
  }
  VReaderList* readers = vreader_get_reader_list();
  VReaderListEntry* first = readers ? vreader_list_get_first(readers) : nullptr;
  VReader* reader = first ? vreader_list_get_reader(first) : nullptr;
  if (readers) vreader_list_delete(readers);
  if (reader == nullptr) {
    std::fprintf(stderr, "vcard_bridge: no virtual reader\n");
    return 1;
  }

  const int fd = connectToReader(static_cast<unsigned short>(std::atoi(argv[2])));
  if (fd < 0) {
    std::fprintf(stderr, "vcard_bridge: vpcd does not listen on port %s\n", argv[2]);
    vreader_free(reader);
    return 1;
  }
  Connection vpcd(fd);
  std::fprintf(stdout, "vcard_bridge: card inserted\n");
  std::fflush(stdout);

  // The ATR of the last power-on. Answering vpcd's ATR request from it, instead of
  // powering on again, keeps response data the card still holds.
  Bytes atr(64);
  int atrLength = 0;
  auto powerOn = [&] {
    atrLength = static_cast<int>(atr.size());
    if (vreader_power_on(reader, atr.data(), &atrLength) != VREADER_OK) atrLength = 0;
  };

  Bytes message;
  Bytes response(65536 + 2);
  bool connected = true;
  while (connected && vpcd.receive(message)) {
    if (message.size() == 1) {
      switch (message[0]) {
        case 0: vreader_power_off(reader); break;
        case 1: powerOn(); break;
        case 2: vreader_power_off(reader); powerOn(); break;
        case 4:
          if (atrLength == 0) powerOn();
          connected = vpcd.send(atr.data(), static_cast<std::size_t>(atrLength));
          break;
        default: break;
      }
    } else if (!message.empty()) {
      int length = static_cast<int>(response.size());
      if (vreader_xfr_bytes(reader, message.data(), static_cast<int>(message.size()),
                            response.data(), &length) != VREADER_OK) {
        length = 0;
      }
      connected = vpcd.send(response.data(), static_cast<std::size_t>(length));
    }
  }
  vreader_free(reader);
  return 0;
}
