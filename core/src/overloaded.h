// Overloaded: a set of lambdas as one visitor for std::visit over a variant.
#ifndef OSSEL_SRC_OVERLOADED_H_
#define OSSEL_SRC_OVERLOADED_H_

namespace ossel {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

}  // namespace ossel

#endif  // OSSEL_SRC_OVERLOADED_H_
