// Writes the two embedded Gauss-Legendre rules of nlayer as C++ source:
//
//   <out-dir>/gauss_weight_tables.cpp  Abscissa960/Weight960: the positive half of the 960-point
//                                      rule on [-1, 1], as doubles
//   <out-dir>/gauss_extended_tables.cpp
//                                      Abscissa960Ext/Weight960Ext: the same rule to the full
//                                      precision of the extended real, for the panels of the
//                                      transform at long distances
//   <out-dir>/fresnel_tables.cpp       Abscissa480/Weight480: the positive half of the 480-point
//                                      rule used by the boundary-reflection integrals, as long
//                                      doubles
//
// Usage: gen_gauss_tables <out-dir>   (regenerate with: gen_gauss_tables core/generated)
//
// Nodes and weights are computed in binary128 (about 34 digits), then rounded once to 15
// significant decimal digits. The tables hold that decimal, converted by the compiler to the
// nearest double or extended real; a literal of exactly 15 digits keeps the rounding
// independent of the width the consumer reads it in. The output depends only on this program,
// so a rerun reproduces the committed files byte for byte. Exit status 0 on success, 1 on a
// usage or file error, 2 if a Newton iteration fails to converge.
#include <quadmath.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct NodeWeight {
  __float128 node;
  __float128 weight;
};

struct LegendrePair {
  __float128 pn;   // P_n(x)
  __float128 pn1;  // P_{n-1}(x)
};

// The three-term recurrence (k+1) P_{k+1} = (2k+1) x P_k - k P_{k-1}, which is stable upward on
// [-1, 1], so the binary128 values lose only a few of their 34 digits even at n = 960.
LegendrePair EvaluateLegendre(int n, __float128 x) {
  __float128 previous = 1;
  __float128 current = x;
  for (int k = 1; k < n; ++k) {
    const __float128 next = ((2 * k + 1) * x * current - k * previous) / (k + 1);
    previous = current;
    current = next;
  }
  return {current, previous};
}

__float128 LegendreDerivative(int n, __float128 x, const LegendrePair& p) {
  return n * (x * p.pn - p.pn1) / (x * x - 1);
}

// Newton's iteration started from cos(pi (j - 1/4) / (n + 1/2)), the leading term of Tricomi's
// asymptotic estimate of the j-th largest root; the start is close enough that every iteration
// converges to its own root. It stops once a step falls below the working precision relative to
// the root.
bool FindRoot(int n, int j, NodeWeight* out) {
  constexpr int kMaxIterations = 100;
  __float128 x = cosq(M_PIq * (j - 0.25Q) / (n + 0.5Q));
  for (int iteration = 0; iteration < kMaxIterations; ++iteration) {
    const LegendrePair p = EvaluateLegendre(n, x);
    const __float128 step = p.pn / LegendreDerivative(n, x, p);
    x -= step;
    if (fabsq(step) <= FLT128_EPSILON * fabsq(x)) {
      const __float128 derivative = LegendreDerivative(n, x, EvaluateLegendre(n, x));
      out->node = x;
      out->weight = 2 / ((1 - x * x) * derivative * derivative);
      return true;
    }
  }
  return false;
}

// The n/2 positive nodes of the n-point rule (n even) in ascending order with their weights.
bool PositiveHalfOfRule(int n, std::vector<NodeWeight>* rule) {
  const int half = n / 2;
  rule->assign(half, NodeWeight{});
  for (int j = 1; j <= half; ++j) {
    // The j-th largest root is entry half + 1 - j, so the entries ascend.
    if (!FindRoot(n, j, &(*rule)[half - j])) {
      std::fprintf(stderr, "gen_gauss_tables: no convergence for root %d of P_%d\n", j, n);
      return false;
    }
  }
  return true;
}

// 15 significant digits in the form d.dddddddddddddde±XX: quadmath_snprintf rounds the binary128
// value correctly, and the fixed shape keeps every literal exactly 15 digits long.
std::string FifteenDigits(__float128 value) {
  char text[64];
  quadmath_snprintf(text, sizeof text, "%.14Qe", value);
  return text;
}

// 21 significant digits, which single out one extended real (64-bit significand) each.
std::string TwentyOneDigits(__float128 value) {
  char text[64];
  quadmath_snprintf(text, sizeof text, "%.20Qe", value);
  return text;
}

std::string ArrayDefinition(const char* type, const char* name, const std::vector<NodeWeight>& rule,
                            __float128 NodeWeight::*member, const char* suffix,
                            std::string (*format)(__float128) = FifteenDigits) {
  constexpr int kPerLine = 3;
  std::string text = "const " + std::string(type) + " " + name + "[" + std::to_string(rule.size()) +
                     "] = {\n";
  for (std::size_t i = 0; i < rule.size(); ++i) {
    text += (i % kPerLine == 0) ? "    " : " ";
    text += format(rule[i].*member) + suffix + ",";
    if (i % kPerLine == kPerLine - 1 || i + 1 == rule.size()) text += "\n";
  }
  text += "};\n";
  return text;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "gen_gauss_tables: cannot create %s\n", path.c_str());
    return false;
  }
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    std::fprintf(stderr, "gen_gauss_tables: cannot write %s\n", path.c_str());
  }
  return written && closed;
}

const char kBanner[] =
    "// Generated by tools/gen_gauss_tables.cpp. Do not edit; rerun the generator.\n";

std::string GaussWeightSource(const std::vector<NodeWeight>& rule) {
  return std::string(kBanner) +
         "//\n"
         "// Positive half of the 960-point Gauss-Legendre rule on [-1, 1]: each node and weight\n"
         "// rounded to 15 significant digits, nodes ascending.\n"
         "#include \"core/gauss_weight.h\"\n"
         "\n"
         "namespace nlayer {\n"
         "\n" +
         ArrayDefinition("double", "Abscissa960", rule, &NodeWeight::node, "") + "\n" +
         ArrayDefinition("double", "Weight960", rule, &NodeWeight::weight, "") + "\n" +
         "}  // namespace nlayer\n";
}

std::string GaussExtendedSource(const std::vector<NodeWeight>& rule) {
  return std::string(kBanner) +
         "//\n"
         "// Positive half of the 960-point Gauss-Legendre rule on [-1, 1]: each node and weight\n"
         "// rounded to 21 significant digits, the nearest extended real, nodes ascending.\n"
         "#include \"core/gauss_weight.h\"\n"
         "\n"
         "namespace nlayer {\n"
         "\n" +
         ArrayDefinition("long double", "Abscissa960Ext", rule, &NodeWeight::node, "L", TwentyOneDigits) + "\n" +
         ArrayDefinition("long double", "Weight960Ext", rule, &NodeWeight::weight, "L", TwentyOneDigits) + "\n" +
         "}  // namespace nlayer\n";
}

std::string FresnelRuleSource(const std::vector<NodeWeight>& rule) {
  return std::string(kBanner) +
         "//\n"
         "// Positive half of the 480-point Gauss-Legendre rule on [-1, 1]: each node and weight\n"
         "// rounded to 15 significant digits and held as the nearest extended real, nodes\n"
         "// ascending.\n"
         "#include \"core/fresnel_internal.h\"\n"
         "\n"
         "namespace nlayer::fresnel_internal {\n"
         "\n" +
         ArrayDefinition("long double", "Abscissa480", rule, &NodeWeight::node, "L") + "\n" +
         ArrayDefinition("long double", "Weight480", rule, &NodeWeight::weight, "L") + "\n" +
         "}  // namespace nlayer::fresnel_internal\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: gen_gauss_tables <out-dir>\n");
    return 1;
  }
  const std::string out_dir = argv[1];
  std::vector<NodeWeight> rule960;
  std::vector<NodeWeight> rule480;
  if (!PositiveHalfOfRule(960, &rule960) || !PositiveHalfOfRule(480, &rule480)) return 2;
  if (!WriteFile(out_dir + "/gauss_weight_tables.cpp", GaussWeightSource(rule960))) return 1;
  if (!WriteFile(out_dir + "/gauss_extended_tables.cpp", GaussExtendedSource(rule960))) return 1;
  if (!WriteFile(out_dir + "/fresnel_tables.cpp", FresnelRuleSource(rule480))) return 1;
  return 0;
}
