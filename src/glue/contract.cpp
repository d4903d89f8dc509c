// mcar_engine_contract(): the .Call contract of contract.h for the R side.
//
//   .Call(mcar_engine_contract)
//
// returns list(families (named integer vector: the codes of family.h by the
// families' names in R), max_k (the most outcomes), then per list of
// contract.h a character vector of its element names in order: data,
// state, scales, control, result, draws, accept, summaries, map).  Each
// character vector carries the attributes "optional" (the names that may
// be absent) and "nullable" (the names that must be there but may be
// NULL).

#include <cpp11.hpp>
#include <cpp11/declarations.hpp>

#include <vector>

#include "calls.h"
#include "contract.h"
#include "engine.h"
#include "sexp.h"

using namespace mcar_glue;

namespace {

// The names of a list, with its optional and nullable ones as attributes.
template <size_t N> cpp11::sexp names_of(const contract::Element (&list)[N]) {
  std::vector<const char *> all, optional, nullable;
  for (const contract::Element &e : list) {
    all.push_back(e.name);
    if (e.presence == contract::OPTIONAL)
      optional.push_back(e.name);
    if (e.presence == contract::NULLABLE)
      nullable.push_back(e.name);
  }
  cpp11::sexp out = strings_of(all);
  cpp11::safe[Rf_setAttrib](out, cpp11::safe[Rf_install]("optional"),
                            strings_of(optional));
  cpp11::safe[Rf_setAttrib](out, cpp11::safe[Rf_install]("nullable"),
                            strings_of(nullable));
  return out;
}

} // namespace

extern "C" SEXP mcar_engine_contract(void) {
  BEGIN_CPP11
  std::vector<const char *> names;
  for (const mcar_engine::FamilyName &f : mcar_engine::FAMILY_NAMES)
    names.push_back(f.name);
  cpp11::sexp codes = cpp11::safe[Rf_allocVector](INTSXP, (R_xlen_t)names.size());
  for (size_t k = 0; k < names.size(); k++)
    INTEGER(codes)[k] = mcar_engine::FAMILY_NAMES[k].code;
  cpp11::safe[Rf_setAttrib](codes, R_NamesSymbol, strings_of(names));
  Items items = {{"families", codes},
                 {"max_k", int_scalar_of(mcar_engine::MAX_K)}};
#define MCAR_CONTRACT_ITEM(list, items_of)                                      \
  items.push_back({#list, names_of(contract::list::elements)});
  MCAR_CONTRACT_LISTS(MCAR_CONTRACT_ITEM)
#undef MCAR_CONTRACT_ITEM
  return named_list(items);
  END_CPP11
}
