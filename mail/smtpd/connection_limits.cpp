// The submission server's shares of connections.
#include "mail/smtpd/connection_limits.h"

#include <cassert>

namespace mail {

Peer ClassifyPeer(std::optional<uid_t> peer_uid, uid_t owner_uid) {
  return peer_uid && *peer_uid == owner_uid ? Peer::kOwner : Peer::kOtherUser;
}

bool ConnectionLimits::TryOpen(Peer peer) {
  int& open = peer == Peer::kOwner ? owner_open_ : other_open_;
  const int limit =
      peer == Peer::kOwner ? kMaxOwnerSessions : kMaxOtherUserSessions;
  if (open >= limit) return false;
  ++open;
  return true;
}

void ConnectionLimits::Close(Peer peer) {
  int& open = peer == Peer::kOwner ? owner_open_ : other_open_;
  assert(open > 0);
  if (open > 0) --open;
}

}  // namespace mail
