// The address list: a singly linked list in ascending order of fd, where
// entries with equal fd stay in the order in which they were added. Every
// operation holds `mutex` for its own duration.
#include "registry/peerbook.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/textfield.h"

namespace {

const size_t kIpWidth = sizeof(ProcessAddress::ip);
const size_t kHostnameWidth = sizeof(ProcessAddress::hostname);

static_assert(sizeof(AddressNode::ip) == kIpWidth, "node and record share the ip width");
static_assert(sizeof(AddressNode::hostname) == kHostnameWidth, "node and record share the hostname width");

// Holds the list's mutex for one scope.
class Hold {
 public:
  explicit Hold(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~Hold() { pthread_mutex_unlock(m_); }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  pthread_mutex_t* m_;
};

// One record from one node. Both text fields are copied whole, so a text as
// long as its field arrives without a terminator and nothing lies beyond it.
void Fill(ProcessAddress* record, const AddressNode* node) {
  record->fd = node->fd;
  record->tag = node->tag;
  memcpy(record->ip, node->ip, kIpWidth);
  memcpy(record->hostname, node->hostname, kHostnameWidth);
  record->port = node->port;
}

}  // namespace

AddressList::AddressList() : count(0), head(nullptr) { pthread_mutex_init(&mutex, nullptr); }

AddressList::~AddressList() {
  while (head != nullptr) {
    AddressNode* next = head->next;
    delete head;
    head = next;
  }
  count = 0;
  pthread_mutex_destroy(&mutex);
}

AddressNode* AddressList::Add(int fd, int tag, const char* ip, const char* hostname, int port) {
  Hold hold(&mutex);
  if (fd == kNewIdentifier) fd = NextID();
  AddressNode* node = new (std::nothrow) AddressNode;
  if (node == nullptr) return nullptr;
  node->fd = fd;
  node->tag = tag;
  CopyTextField(node->ip, kIpWidth, ip);
  CopyTextField(node->hostname, kHostnameWidth, hostname);
  node->port = port;
  node->next = nullptr;
  // Before the first node with a greater fd, so equal ones keep their order.
  AddressNode** link = &head;
  while (*link != nullptr && (*link)->fd <= fd) link = &(*link)->next;
  node->next = *link;
  *link = node;
  ++count;
  return node;
}

int AddressList::NextID() const {
  if (head == nullptr) return 1;
  const AddressNode* last = head;
  while (last->next != nullptr) last = last->next;
  if (last->fd < INT32_MAX) return last->fd + 1;
  // Anyone may register the largest int, and nothing lies beyond it: hand
  // out the lowest free positive identifier instead. The list is ordered, so
  // one pass finds the first gap; one always exists below INT32_MAX, since no
  // list can hold 2^31 entries.
  int64_t candidate = 1;
  for (const AddressNode* node = head; node != nullptr && node->fd <= candidate; node = node->next) {
    if (node->fd == candidate) ++candidate;
  }
  return static_cast<int>(candidate);
}

int AddressList::NewID() {
  Hold hold(&mutex);
  return NextID();
}

AddressNode* AddressList::FindLocked(int fd) const {
  AddressNode* node = head;
  while (node != nullptr && node->fd != fd) node = node->next;
  return node;
}

AddressNode* AddressList::Find(int fd) {
  Hold hold(&mutex);
  return FindLocked(fd);
}

bool AddressList::Lookup(int fd, ProcessAddress* out) {
  Hold hold(&mutex);
  const AddressNode* node = FindLocked(fd);
  if (node == nullptr) return false;
  Fill(out, node);
  return true;
}

// The argument is read by the rule of the field it is compared with: up to
// its NUL or its first 128 bytes, so that a text finds the entry that Add
// stored for it, cut or not.
int AddressList::MappingFd(const char* ip, int port) {
  Hold hold(&mutex);
  for (const AddressNode* node = head; node != nullptr; node = node->next) {
    if (node->port == port && TextFieldsEqual(node->ip, kIpWidth, ip, kIpWidth)) return node->fd;
  }
  return -1;
}

void AddressList::MappingPrint() {
  Hold hold(&mutex);
  for (const AddressNode* node = head; node != nullptr; node = node->next) {
    printf("fd:%d IP:%.*s Port:%d\n", node->fd, static_cast<int>(TextFieldLength(node->ip, kIpWidth)), node->ip,
           node->port);
    fflush(stdout);
  }
}

bool AddressList::Remove(int fd) {
  Hold hold(&mutex);
  AddressNode** link = &head;
  while (*link != nullptr && (*link)->fd != fd) link = &(*link)->next;
  if (*link == nullptr) return false;
  AddressNode* gone = *link;
  *link = gone->next;
  delete gone;
  --count;
  return true;
}

int AddressList::Size() {
  Hold hold(&mutex);
  return count;
}

void AddressList::CopyOut(ProcessAddress* out) const {
  for (const AddressNode* node = head; node != nullptr; node = node->next) Fill(out++, node);
}

void AddressList::ToAddressArray(ProcessAddress* out) {
  Hold hold(&mutex);
  CopyOut(out);
}

int AddressList::Snapshot(std::unique_ptr<ProcessAddress[]>* out) {
  Hold hold(&mutex);
  out->reset();
  if (count == 0) return 0;
  ProcessAddress* records = new (std::nothrow) ProcessAddress[static_cast<size_t>(count)];
  if (records == nullptr) return -1;
  CopyOut(records);
  out->reset(records);
  return count;
}
