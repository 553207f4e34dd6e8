#include "tessal_exchange/error.hpp"

#include "tessal_exchange/debug_text.hpp"

namespace tessal_exchange {

std::ostream& operator<<(std::ostream& out, ExchangeError::Kind kind) {
  switch (kind) {
    case ExchangeError::Kind::Tile: return out << "Tile";
    case ExchangeError::Kind::DuplicateTile: return out << "DuplicateTile";
    case ExchangeError::Kind::Count: return out << "Count";
    case ExchangeError::Kind::ReceiverSet: return out << "ReceiverSet";
    case ExchangeError::Kind::Schedule: return out << "Schedule";
    case ExchangeError::Kind::Address: return out << "Address";
    case ExchangeError::Kind::HostPacket: return out << "HostPacket";
  }
  return out << "Unknown";
}

std::ostream& operator<<(std::ostream& out, const ExchangeError& error) {
  out << error.kind;
  switch (error.kind) {
    case ExchangeError::Kind::Tile:
    case ExchangeError::Kind::Count:
    case ExchangeError::Kind::Address:
      return out << '(' << error.value << ')';
    case ExchangeError::Kind::Schedule:
      out << '(';
      debug_text::write_quoted(out, error.message);
      return out << ')';
    default:
      return out;
  }
}

}  // namespace tessal_exchange
