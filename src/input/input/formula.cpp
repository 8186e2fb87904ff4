// The model language's reader: a recursive descent over the text, each
// expression a list of terms (sets of variables, in the order written).
#include "core/fp_contract.hpp"
#include "input/formula.hpp"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

namespace morvenak {
namespace {

using Terms = std::vector<std::vector<std::string>>;

void add_term(Terms& to, std::vector<std::string> t) {
  for (const auto& u : to)
    if (u.size() == t.size() && std::is_permutation(u.begin(), u.end(), t.begin())) return;
  to.push_back(std::move(t));
}

Terms join(const Terms& a, const Terms& b) {  // X:Y
  Terms out;
  for (const auto& x : a)
    for (const auto& y : b) {
      std::vector<std::string> t = x;
      for (const std::string& v : y)
        if (std::find(t.begin(), t.end(), v) == t.end()) t.push_back(v);
      add_term(out, std::move(t));
    }
  return out;
}

Terms plus(Terms a, const Terms& b) {
  for (const auto& t : b) add_term(a, t);
  return a;
}

class Reader {
 public:
  explicit Reader(const std::string& text) : s_(text) {}

  ModelFormula read() {
    ModelFormula f;
    Terms tested = sum(&f.conditions);
    skip();
    if (at_ < s_.size()) fail("'" + std::string(1, s_[at_]) + "' where '+', '*', ':' or '/' or the end was expected");
    if (tested.empty()) fail("no term to test");
    f.terms = std::move(tested);
    std::stable_sort(f.terms.begin(), f.terms.end(), [](const auto& x, const auto& y) { return x.size() < y.size(); });
    f.variables = variables_;
    for (Terms* list : {&f.terms, &f.conditions})
      for (auto& t : *list)
        std::stable_sort(t.begin(), t.end(),
                         [this](const std::string& x, const std::string& y) { return order(x) < order(y); });
    for (const auto& t : f.terms)
      for (const auto& c : f.conditions)
        if (t.size() == c.size() && std::is_permutation(t.begin(), t.end(), c.begin()))
          throw InvalidInput("the model gives " + ModelFormula::label(t) + " both as a term and in Condition()");
    return f;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw InvalidInput("the model '" + s_ + "', column " + std::to_string(at_ + 1) + ": " + what);
  }
  void skip() {
    while (at_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[at_]))) ++at_;
  }
  bool take(char c) {
    skip();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  std::size_t order(const std::string& v) const {
    return static_cast<std::size_t>(std::find(variables_.begin(), variables_.end(), v) - variables_.begin());
  }

  // sum := product ('+' product)*; a Condition() adds to `conditions`.
  Terms sum(Terms* conditions) {
    Terms out = product(conditions);
    while (take('+')) out = plus(std::move(out), product(conditions));
    return out;
  }
  // product := interaction (('*' | '/') interaction)*
  Terms product(Terms* conditions) {
    Terms out = interaction(conditions);
    for (bool first = true;; first = false) {
      skip();
      const bool more = at_ < s_.size() && (s_[at_] == '*' || s_[at_] == '/');
      if (more && first) alone();
      if (take('*')) {
        const Terms b = interaction(conditions);
        alone();
        out = plus(plus(out, b), join(out, b));
      } else if (take('/')) {
        const Terms b = interaction(conditions);
        alone();
        std::vector<std::string> all;
        for (const auto& t : out)
          for (const std::string& v : t)
            if (std::find(all.begin(), all.end(), v) == all.end()) all.push_back(v);
        out = plus(out, join(Terms{all}, b));
      } else {
        return out;
      }
    }
  }
  // interaction := primary (':' primary)*
  Terms interaction(Terms* conditions) {
    Terms out = primary(conditions);
    bool joined = false;
    while (take(':')) {
      if (!joined) alone();
      joined = true;
      out = join(out, primary(conditions));
      alone();
    }
    return out;
  }
  // A Condition() is a term of the sum, not a factor of a product.
  void alone() const {
    if (condition_) fail("Condition() stands alone in the model, joined to it by '+'");
  }
  // primary := name | `name` | '(' sum ')' | 'Condition(' sum ')'
  Terms primary(Terms* conditions) {
    condition_ = false;
    skip();
    if (at_ >= s_.size()) fail("a variable was expected, and the model ends");
    if (take('(')) {
      Terms inner = sum(conditions);
      if (!take(')')) fail("')' was expected");
      return inner;
    }
    const std::size_t start = at_;
    std::string name;
    if (s_[at_] == '`') {
      const std::size_t close = s_.find('`', at_ + 1);
      if (close == std::string::npos) fail("the backquote is not closed");
      name = s_.substr(at_ + 1, close - at_ - 1);
      if (name.empty()) fail("an empty name");
      at_ = close + 1;
    } else {
      if (!(std::isalpha(static_cast<unsigned char>(s_[at_])) || s_[at_] == '_' || s_[at_] == '.'))
        fail("'" + std::string(1, s_[at_]) + "' where a variable was expected");
      while (at_ < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[at_])) || s_[at_] == '_' || s_[at_] == '.'))
        ++at_;
      name = s_.substr(start, at_ - start);
      skip();
      if (name == "Condition" && at_ < s_.size() && s_[at_] == '(') {
        if (conditions == nullptr) fail("Condition() inside Condition()");
        ++at_;
        const Terms inner = sum(nullptr);
        if (!take(')')) fail("')' was expected");
        for (const auto& t : inner) add_term(*conditions, t);
        condition_ = true;
        return {};
      }
    }
    if (std::find(variables_.begin(), variables_.end(), name) == variables_.end()) variables_.push_back(name);
    return {{name}};
  }

  const std::string& s_;
  std::size_t at_ = 0;
  bool condition_ = false;  // the last primary read was a Condition()
  std::vector<std::string> variables_;
};

}  // namespace

ModelFormula parse_formula(const std::string& text) { return Reader(text).read(); }

}  // namespace morvenak
