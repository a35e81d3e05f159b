// Overloaded: a set of lambdas as one visitor for std::visit over a variant.
#ifndef OSSEL_SRC_OVERLOADED_H_
#define OSSEL_SRC_OVERLOADED_H_

namespace ossel {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
// Spelled out for compilers without aggregate deduction (clang before 17,
// which builds the fuzz targets).
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace ossel

#endif  // OSSEL_SRC_OVERLOADED_H_
