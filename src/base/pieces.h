// Text that one side makes in pieces and the other side takes as they come.
#ifndef ORVEL_BASE_PIECES_H_
#define ORVEL_BASE_PIECES_H_

#include <string_view>

namespace orvel {

// Where the pieces of one text go, in order; `last` marks the final one, which may be short or
// empty. A piece is valid during the call that hands it over; its maker may promise more of the
// last one.
struct PieceSink {
  void (*take)(void* context, std::string_view piece, bool last);
  void* context;

  void operator()(std::string_view piece, bool last) const { take(context, piece, last); }
};

}  // namespace orvel

#endif  // ORVEL_BASE_PIECES_H_
