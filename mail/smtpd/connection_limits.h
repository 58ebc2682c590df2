// How many submission connections the server serves at once, and for whom.
// The image's owner (the user `tarnvex-device run` runs as) has a share of
// its own that no other user's connections can take: another local user can
// reach the port but not submit (the password is the owner's), so other
// users together get a small share and little time to log in. Owned by the
// submission server's event loop; not thread-safe.
#ifndef TARNVEX_MAIL_SMTPD_CONNECTION_LIMITS_H_
#define TARNVEX_MAIL_SMTPD_CONNECTION_LIMITS_H_

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace mail {

// The owner's connections at once; one more is answered 421 and closed.
inline constexpr int kMaxOwnerSessions = 32;
// Connections of all other users together at once (a peer whose user cannot
// be told counts as another user).
inline constexpr int kMaxOtherUserSessions = 4;
// From connecting to a successful AUTH, for another user's connection,
// whatever it sends meanwhile.
inline constexpr std::chrono::seconds kOtherUserLoginTime{10};

enum class Peer { kOwner, kOtherUser };

// Which share a peer's connection takes: the owner's when `peer_uid` is
// `owner_uid`.
Peer ClassifyPeer(std::optional<uid_t> peer_uid, uid_t owner_uid);

class ConnectionLimits {
 public:
  // Takes a place in `peer`'s share; false when that share is full.
  bool TryOpen(Peer peer);
  // Gives back a place TryOpen took.
  void Close(Peer peer);
  int open(Peer peer) const {
    return peer == Peer::kOwner ? owner_open_ : other_open_;
  }

 private:
  int owner_open_ = 0;
  int other_open_ = 0;
};

}  // namespace mail

#endif  // TARNVEX_MAIL_SMTPD_CONNECTION_LIMITS_H_
