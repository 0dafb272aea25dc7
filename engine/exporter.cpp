// Source exporter: formats one recorded operation as a line of source text,
// a call with literal arguments such as "perlinNoise(0,64,12345,256,128,4,true);".
//
// The arguments are those the dispatcher passes, in its order: integer slots
// truncated toward zero (clamped to int32, NaN 0), booleans "true" only for
// exactly 1.0, reals in the general format below. The format works on the
// exact decimal expansion of the float32 value, so it never depends on the C
// library's printf or on the locale: the decimal separator is always ".".
//
// Real format:
// - 0 < v < 0.00001: scientific form, 15 significant digits ("7.62939453125E-6").
// - otherwise fixed notation with at most 17 significant digits and at most 17
//   decimals (a value below 1 in magnitude gets exactly 17 decimals), rounded
//   half away from zero, trailing zeros and a bare point removed ("183", "0.5");
//   more than 15 characters before the point (a minus counts) switches to the
//   scientific form ("1.00000005409997E+15").
// - scientific form: one digit, the point, 14 digits, "E", sign, exponent;
//   trailing zeros of the mantissa go, the point stays.
// Negative values are never "too small": they keep the fixed form, so those
// between about -1e-10 and 0 keep fewer than the 9 significant digits that
// identify a float32, and those above -5e-18 print as "-0".
// Infinities and NaN print as the <cmath> macros INFINITY, -INFINITY, NAN.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/internal.h"

namespace tex {

namespace {

// The exact decimal expansion of |v| for a finite non-zero float:
// |v| = 0.DIGITS * 10^point, DIGITS without leading or trailing zeros.
struct Decimal {
    std::string digits;
    int point = 0;
};

// Multiplies a little-endian base-10^9 number by a small factor.
void multiply(std::vector<uint32_t>& number, uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t& limb : number) {
        const uint64_t product = uint64_t(limb) * factor + carry;
        limb = uint32_t(product % 1000000000u);
        carry = product / 1000000000u;
    }
    while (carry) {
        number.push_back(uint32_t(carry % 1000000000u));
        carry /= 1000000000u;
    }
}

Decimal exactDecimal(float v) {
    // |v| = mantissa * 2^exponent with an integer mantissa below 2^24.
    int exponent = 0;
    const float fraction = std::frexp(std::fabs(v), &exponent);  // in [0.5, 1)
    uint32_t mantissa = uint32_t(std::ldexp(fraction, 24));
    exponent -= 24;
    while (mantissa % 2 == 0) {
        mantissa /= 2;
        ++exponent;
    }
    // With a negative exponent, mantissa * 2^-k = mantissa * 5^k / 10^k.
    std::vector<uint32_t> number{mantissa};
    for (int k = 0; k < exponent; ++k) multiply(number, 2);
    for (int k = 0; k < -exponent; ++k) multiply(number, 5);
    std::string text = std::to_string(number.back());
    for (size_t i = number.size() - 1; i-- > 0;) {
        const std::string limb = std::to_string(number[i]);
        text += std::string(9 - limb.size(), '0') + limb;
    }
    const int scale = exponent < 0 ? exponent : 0;  // power of ten below the integer
    Decimal d;
    d.point = int(text.size()) + scale;
    d.digits = text.substr(0, text.find_last_not_of('0') + 1);
    return d;
}

// Keeps the first `keep` significant digits, rounding half away from zero; a
// carry out of the first digit moves the point.
void roundDecimal(Decimal& d, int keep) {
    if (keep >= int(d.digits.size())) return;
    if (keep < 0) {
        d.digits.clear();
        return;
    }
    const bool up = d.digits[size_t(keep)] >= '5';
    d.digits.resize(size_t(keep));
    if (up) {
        int i = keep - 1;
        while (i >= 0 && d.digits[size_t(i)] == '9') d.digits[size_t(i--)] = '0';
        if (i >= 0)
            ++d.digits[size_t(i)];
        else {
            d.digits.insert(d.digits.begin(), '1');
            ++d.point;
        }
    }
    d.digits.resize(d.digits.find_last_not_of('0') + 1);
}

std::string scientificText(bool negative, Decimal d) {
    roundDecimal(d, 15);
    std::string text = negative ? "-" : "";
    text += d.digits[0];
    text += '.';
    text += d.digits.substr(1);  // trailing zeros already gone; the point stays
    const int exponent = d.point - 1;
    text += exponent < 0 ? "E-" : "E+";
    text += std::to_string(exponent < 0 ? -exponent : exponent);
    return text;
}

std::string realText(float v) {
    if (std::isnan(v)) return "NAN";
    if (std::isinf(v)) return v < 0 ? "-INFINITY" : "INFINITY";
    if (v == 0) return "0";  // -0.0 is not negative: it prints as 0 too
    const bool negative = v < 0;
    const Decimal exact = exactDecimal(v);
    // exact.point <= -5 means |v| < 10^-5.
    if (!negative && exact.point <= -5) return scientificText(negative, exact);

    Decimal d = exact;
    const int decimals = d.point <= 0 ? 17 : std::max(17 - d.point, 0);
    roundDecimal(d, d.point + decimals);
    std::string whole, fraction;
    if (d.point > 0) {
        whole = d.digits.substr(0, std::min(size_t(d.point), d.digits.size()));
        whole.resize(size_t(d.point), '0');
        if (d.digits.size() > size_t(d.point)) fraction = d.digits.substr(size_t(d.point));
    } else {
        whole = "0";
        if (!d.digits.empty()) fraction = std::string(size_t(-d.point), '0') + d.digits;
    }
    if (whole.size() + (negative ? 1 : 0) > 15) return scientificText(negative, exact);
    std::string text = negative ? "-" : "";
    text += whole;
    if (!fraction.empty()) text += "." + fraction;
    return text;
}

// mandelBrot's extent as the dispatcher computes it: the difference in
// extended precision rounded to float32 (infinite beyond the float range).
float extentOf(float start, float corner) {
    const ext limit = 0x1.ffffffp127;  // halfway between FLT_MAX and 2^128
    const ext difference = ext(corner) - start;
    if (difference >= limit) return INFINITY;
    if (difference <= -limit) return -INFINITY;
    return static_cast<float>(difference);
}

std::string integerText(float slot) { return std::to_string(slotInteger(slot)); }
std::string booleanText(float slot) { return slotBoolean(slot) ? "true" : "false"; }

}  // namespace

std::string exportSource(int32_t opcode, const float params[10]) {
    const OperationInfo* row = findOperation(opcode);
    if (!row || !params) return " ";
    std::string line = std::string(row->name) + "(";
    if (opcode == MANDELBROT_OPCODE) {
        // The record holds two corners; the call takes the first corner and
        // the extents. Each extent is printed as the float32 the dispatcher
        // passes, so the line compiles to exactly the replayed call.
        const float width = extentOf(params[1], params[3]);
        const float height = extentOf(params[2], params[4]);
        line += integerText(params[0]) + "," + realText(params[1]) + "," + realText(width) + "," +
                realText(params[2]) + "," + realText(height) + "," + realText(16.0f);
    } else {
        for (size_t k = 0; row->slots[k]; ++k) {
            if (k) line += ",";
            switch (row->slots[k]) {
                case SLOT_REAL: line += realText(params[k]); break;
                case SLOT_BOOLEAN: line += booleanText(params[k]); break;
                default: line += integerText(params[k]); break;
            }
        }
    }
    return line + ");";
}

}  // namespace tex
