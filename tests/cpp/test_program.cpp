// Programs on hand-built tapes: every opcode's value and gradient, interval
// bounds that hold what the points give, refusal of malformed tapes, and deep
// tapes held in a few registers.
#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "check.hpp"
#include "dc/extract.hpp"
#include "eval/decorators.hpp"
#include "eval/program.hpp"
#include "octree/build.hpp"

using namespace quarvel;

namespace {

constexpr double kPi = 3.141592653589793;

// Builds a tape one instruction at a time; each call returns the register written.
struct Tape {
    std::vector<Instr> code;
    std::vector<double> constants;

    std::uint32_t op(Op o, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0,
                     std::uint32_t imm = 0) {
        code.push_back({o, a, b, c, imm});
        return static_cast<std::uint32_t>(2 + code.size());
    }
    std::uint32_t k(double v) {
        constants.push_back(v);
        return op(Op::constant, 0, 0, 0, static_cast<std::uint32_t>(constants.size() - 1));
    }
    Program build() const { return Program(code, constants); }
};

// Three smooth, different functions of the point, the operands of the cases:
// u = 0.7x + 0.2y - 0.1z + 0.3, v = 2.5 + xy - 0.5z (in [1, 4] on the cube), w = z - 0.25x.
struct Operands {
    std::uint32_t u, v, w;
};
Operands operands(Tape& t) {
    const std::uint32_t u = t.op(Op::add, t.op(Op::add, t.op(Op::mul, 0, t.k(0.7)), t.op(Op::mul, 1, t.k(0.2))),
                                 t.op(Op::sub, t.k(0.3), t.op(Op::mul, 2, t.k(0.1))));
    const std::uint32_t v = t.op(Op::sub, t.op(Op::add, t.k(2.5), t.op(Op::mul, 0, 1)), t.op(Op::mul, 2, t.k(0.5)));
    const std::uint32_t w = t.op(Op::sub, 2, t.op(Op::mul, 0, t.k(0.25)));
    return {u, v, w};
}
double u_of(const Vec3& p) { return 0.7 * p[0] + 0.2 * p[1] + (0.3 - 0.1 * p[2]); }
double v_of(const Vec3& p) { return 2.5 + p[0] * p[1] - 0.5 * p[2]; }
double w_of(const Vec3& p) { return p[2] - 0.25 * p[0]; }

// Corners (-0.6, -0.4), (0.5, -0.5), (0.3, 0.6) and the edges' outward normals.
void add_triangle(Tape& t) {
    const double c[] = {-0.6, -0.4, 0.5, -0.5, 0.3, 0.6};
    for (double x : c) t.constants.push_back(x);
    for (int j = 0; j < 3; ++j) {
        const double ex = c[(2 * j + 2) % 6] - c[2 * j], ey = c[(2 * j + 3) % 6] - c[2 * j + 1];
        const double len = std::hypot(ex, ey);
        t.constants.push_back(ey / len);  // counter-clockwise corners: the right of each edge
        t.constants.push_back(-ex / len);
    }
}

// The distance from (x, y) to that triangle, negative inside, written plainly.
double triangle_distance(double x, double y) {
    const double c[] = {-0.6, -0.4, 0.5, -0.5, 0.3, 0.6};
    double best = 1e300;
    bool inside = true;
    for (int j = 0; j < 3; ++j) {
        const double ax = c[2 * j], ay = c[2 * j + 1], bx = c[(2 * j + 2) % 6], by = c[(2 * j + 3) % 6];
        const double ex = bx - ax, ey = by - ay;
        const double t = std::clamp(((x - ax) * ex + (y - ay) * ey) / (ex * ex + ey * ey), 0.0, 1.0);
        best = std::min(best, std::hypot(x - ax - t * ex, y - ay - t * ey));
        inside = inside && (ex * (y - ay) - ey * (x - ax)) > 0.0;
    }
    return inside ? -best : best;
}

// One opcode applied to the operands, with the value it must give.
struct OpCase {
    const char* name;
    std::function<std::uint32_t(Tape&, const Operands&)> emit;
    std::function<double(double u, double v, double w)> expected;
};

std::vector<OpCase> op_cases() {
    using T = Tape&;
    using O = const Operands&;
    return {
        {"add", [](T t, O o) { return t.op(Op::add, o.u, o.v); }, [](double u, double v, double) { return u + v; }},
        {"sub", [](T t, O o) { return t.op(Op::sub, o.u, o.v); }, [](double u, double v, double) { return u - v; }},
        {"mul", [](T t, O o) { return t.op(Op::mul, o.u, o.w); }, [](double u, double, double w) { return u * w; }},
        {"div", [](T t, O o) { return t.op(Op::div, o.u, o.v); }, [](double u, double v, double) { return u / v; }},
        {"neg", [](T t, O o) { return t.op(Op::neg, o.w); }, [](double, double, double w) { return -w; }},
        {"abs", [](T t, O o) { return t.op(Op::abs, o.w); }, [](double, double, double w) { return std::fabs(w); }},
        {"square", [](T t, O o) { return t.op(Op::square, o.u); }, [](double u, double, double) { return u * u; }},
        {"sqrt", [](T t, O o) { return t.op(Op::sqrt, o.v); }, [](double, double v, double) { return std::sqrt(v); }},
        {"sin", [](T t, O o) { return t.op(Op::sin, t.op(Op::mul, o.u, t.k(4.0))); },
         [](double u, double, double) { return std::sin(u * 4.0); }},
        {"cos", [](T t, O o) { return t.op(Op::cos, t.op(Op::mul, o.u, t.k(4.0))); },
         [](double u, double, double) { return std::cos(u * 4.0); }},
        {"floor", [](T t, O o) { return t.op(Op::add, t.op(Op::floor, t.op(Op::mul, o.v, t.k(3.0))), o.w); },
         [](double, double v, double w) { return std::floor(v * 3.0) + w; }},
        {"min", [](T t, O o) { return t.op(Op::min, o.u, o.w); }, [](double u, double, double w) { return std::min(u, w); }},
        {"max", [](T t, O o) { return t.op(Op::max, o.u, o.w); }, [](double u, double, double w) { return std::max(u, w); }},
        {"constant_operands",  // read from the step rather than from a slot
         [](T t, O o) {
             const std::uint32_t a = t.op(Op::min, t.op(Op::div, t.k(1.5), o.v), t.op(Op::mul, o.w, t.k(3.0)));
             return t.op(Op::max, t.k(0.1), t.op(Op::add, t.k(-0.2), t.op(Op::sub, a, t.k(0.4))));
         },
         [](double, double v, double w) { return std::max(0.1, -0.2 + (std::min(1.5 / v, w * 3.0) - 0.4)); }},
        {"atan2", [](T t, O o) { return t.op(Op::atan2, o.w, o.u); },
         [](double u, double, double w) { return std::atan2(w, u); }},
        {"select", [](T t, O o) { return t.op(Op::select, t.op(Op::less, o.u, o.w), o.v, o.w); },
         [](double u, double v, double w) { return u < w ? v : w; }},
        {"length2", [](T t, O o) { return t.op(Op::length2, o.u, o.w, 0, 2); },
         [](double u, double, double w) { return std::hypot(u, w); }},
        {"length3", [](T t, O o) { return t.op(Op::length3, o.u, o.v, o.w, 3); },
         [](double u, double v, double w) { return std::sqrt(u * u + v * v + w * w); }},
        {"smooth_min", [](T t, O o) { return t.op(Op::smooth_min, o.u, o.w, t.k(0.6)); },
         [](double u, double, double w) {
             // The polynomial blend, from its definition: min(u, w) - k/4 * (1 - |u - w| / k)^2.
             const double k = 0.6, d = std::max(k - std::fabs(u - w), 0.0) / k;
             return std::min(u, w) - k / 4.0 * d * d;
         }},
        {"polygon",
         [](T t, O o) {
             const std::uint32_t first = static_cast<std::uint32_t>(t.constants.size());
             add_triangle(t);
             return t.op(Op::polygon, o.u, o.w, first, 3);
         },
         [](double u, double, double w) { return triangle_distance(u, w); }},
    };
}

std::vector<Vec3> random_points(std::size_t n, double reach, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> d(-reach, reach);
    std::vector<Vec3> points(n);
    for (Vec3& p : points) p = {d(rng), d(rng), d(rng)};
    return points;
}

std::vector<double> values_at(const Program& program, const std::vector<Vec3>& points) {
    std::vector<double> values(points.size());
    program.eval_values(points, values);
    return values;
}

}  // namespace

// ---------------------------------------------------------------- points

TEST(program_opcodes_give_their_values_and_gradients) {
    // 1000 points: several blocks on several workers. Gradients against central
    // differences of the values; values against the plain formulas, and those of
    // the gradient path bit for bit against the values-only path.
    const std::vector<Vec3> points = random_points(1000, 1.0, 7);
    for (const OpCase& c : op_cases()) {
        Tape t;
        const Operands o = operands(t);
        c.emit(t, o);
        const Program program = t.build();
        std::vector<double> values(points.size());
        std::vector<Vec3> gradients(points.size());
        program.eval(points, values, gradients);
        const std::vector<double> plain = values_at(program, points);
        const double h = 1e-6;
        int bad = 0;
        for (std::size_t i = 0; i < points.size(); ++i) {
            const Vec3& p = points[i];
            const double want = c.expected(u_of(p), v_of(p), w_of(p));
            if (!(std::fabs(values[i] - want) <= 1e-12 * (1.0 + std::fabs(want))) || values[i] != plain[i]) ++bad;
            std::vector<Vec3> probes;
            for (int axis = 0; axis < 3; ++axis)
                for (double s : {h, -h}) {
                    Vec3 q = p;
                    q[axis] += s;
                    probes.push_back(q);
                }
            const std::vector<double> f = values_at(program, probes);
            for (int axis = 0; axis < 3; ++axis) {
                const double fd = (f[2 * axis] - f[2 * axis + 1]) / (2 * h);
                // Steps and kinks (floor, min, select, the polygon's ridges) are
                // crossed by a probe at a few points only.
                if (!(std::fabs(fd - gradients[i][axis]) <= 1e-5 * (1.0 + std::fabs(fd)))) ++bad;
            }
        }
        if (bad > 3) std::cerr << c.name << ": " << bad << " mismatches\n";
        CHECK(bad <= 3);
    }
}

TEST(program_sin_and_cos_stay_within_a_unit_or_two_of_the_library) {
    // The vectorised kernel against std::sin and std::cos: random arguments
    // over its whole reach, and those next to multiples of pi/2 (where the
    // reduction cancels most).
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> wide(-ops::kNearReach, ops::kNearReach), near(-1e-6, 1e-6);
    std::uniform_int_distribution<int> quarter(-60000, 60000);
    auto ulps = [](double got, double want) {
        return std::fabs(got - want) / (std::nextafter(std::fabs(want), 2.0) - std::fabs(want));
    };
    double worst = 0.0;
    for (int i = 0; i < 200000; ++i) {
        const double x = i % 2 ? wide(rng) : quarter(rng) * (kPi / 2) + near(rng);
        const ops::SinCos t = ops::sincos_near(x);
        worst = std::max({worst, ulps(t.sin, std::sin(x)), ulps(t.cos, std::cos(x))});
    }
    // Counted in units of the value's own binade: one unit of the binade
    // above counts as two just under a power of two.
    CHECK(worst <= 2.0);
}

TEST(program_ties_and_degenerate_points_follow_the_shapes_conventions) {
    // min and max pick the first operand on ties; |0| counts as positive; a zero
    // length takes its fallback operand's derivative (or none); the angle has no
    // derivative at the origin; detach drops its operand's derivative; on a
    // polygon's edge the gradient is its normal (of the first edge there).
    Tape t;
    const std::uint32_t twice_x = t.op(Op::add, 0, 0);
    const std::uint32_t mn = t.op(Op::min, 0, twice_x);    // at x = 0: tie, d/dx = 1
    const std::uint32_t mx = t.op(Op::max, twice_x, 0);    // tie, d/dx = 2
    const std::uint32_t ab = t.op(Op::abs, 1);             // at y = 0: d/dy = +1
    const std::uint32_t l2 = t.op(Op::length2, 0, 1, 0, 1);  // fallback b: d/dy
    const std::uint32_t l3 = t.op(Op::length3, 0, 1, 2, 3);  // no fallback
    const std::uint32_t at = t.op(Op::atan2, 0, 1);
    const std::uint32_t de = t.op(Op::add, t.op(Op::detach, twice_x), 2);  // d/dz only
    std::vector<std::uint32_t> parts{mn, mx, ab, l2, l3, at, de};
    const Vec3 origin{0.0, 0.0, 0.0};
    const std::vector<Vec3> want{{1, 0, 0}, {2, 0, 0}, {0, 1, 0}, {0, 1, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 1}};
    for (std::size_t k = 0; k < parts.size(); ++k) {
        Tape one = t;
        one.op(Op::add, parts[k], one.k(0.0));
        std::vector<double> v(1);
        std::vector<Vec3> g(1);
        one.build().eval({&origin, 1}, v, g);
        CHECK(g[0] == want[k]);
    }
    Tape p;
    const std::uint32_t first = static_cast<std::uint32_t>(p.constants.size());
    add_triangle(p);
    p.op(Op::polygon, 0, 1, first, 3);
    const Vec3 on_edge{-0.6, -0.4, 0.0};  // the first corner: on the first and the last edge
    std::vector<double> v(1);
    std::vector<Vec3> g(1);
    p.build().eval({&on_edge, 1}, v, g);
    CHECK_NEAR(v[0], 0.0, 1e-15);
    CHECK_NEAR(g[0][0], p.constants[6], 1e-15);
    CHECK_NEAR(g[0][1], p.constants[7], 1e-15);
}

TEST(program_nan_operands_propagate_through_min_and_max) {
    Tape t;
    const std::uint32_t nan = t.op(Op::sqrt, t.k(-1.0));
    t.op(Op::max, t.op(Op::min, 0, nan), 1);
    const Vec3 p{0.5, 0.25, 0.0};
    CHECK(std::isnan(values_at(t.build(), {p})[0]));
}

// ---------------------------------------------------------------- intervals

TEST(program_bounds_hold_every_sampled_value) {
    // Random boxes from tiny to wider than a period of sin, cos and the polygon;
    // points at their corners and inside must lie within the bounds.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const OpCase& c : op_cases()) {
        Tape t;
        c.emit(t, operands(t));
        const Program program = t.build();
        std::vector<Box> boxes;
        for (double half : {1e-4, 0.05, 0.4, 1.5})
            for (int k = 0; k < 40; ++k) {
                Vec3 centre{3 * unit(rng) - 1.5, 3 * unit(rng) - 1.5, 3 * unit(rng) - 1.5};
                Box b;
                for (int a = 0; a < 3; ++a) {
                    b.lo[a] = centre[a] - half * unit(rng);
                    b.hi[a] = centre[a] + half * unit(rng);
                }
                boxes.push_back(b);
            }
        std::vector<Interval> bounds(boxes.size());
        program.eval_bounds(boxes, bounds);
        int unknown = 0, outside = 0;
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            std::vector<Vec3> points;
            for (int corner = 0; corner < 8; ++corner)
                points.push_back({(corner & 1) ? boxes[i].hi[0] : boxes[i].lo[0],
                                  (corner & 2) ? boxes[i].hi[1] : boxes[i].lo[1],
                                  (corner & 4) ? boxes[i].hi[2] : boxes[i].lo[2]});
            for (int k = 0; k < 24; ++k) {
                Vec3 q;
                for (int a = 0; a < 3; ++a) q[a] = boxes[i].lo[a] + unit(rng) * (boxes[i].hi[a] - boxes[i].lo[a]);
                points.push_back(q);
            }
            if (bounds[i].is_unknown()) {
                ++unknown;
                continue;
            }
            for (double v : values_at(program, points))
                if (!(bounds[i].lo <= v && v <= bounds[i].hi)) ++outside;
        }
        if (outside) std::cerr << c.name << ": " << outside << " values outside their bounds\n";
        CHECK(outside == 0);
        // Wide boxes may reach where v (a divisor, a square root's operand) is 0
        // or below; most bounds must still be known for the test to mean much.
        CHECK(unknown * 4 < static_cast<int>(boxes.size()));
    }
}

TEST(program_bounds_of_awkward_ranges) {
    // sin over a peak, sqrt of a partly negative range, division by a range
    // holding 0, a selection that may go either way, the angle across its cut.
    auto bound = [](const std::function<void(Tape&)>& emit, Box box) {
        Tape t;
        emit(t);
        std::vector<Interval> out(1);
        t.build().eval_bounds({&box, 1}, out);
        return out[0];
    };
    const Box x_range{{0.1, 0.0, 0.0}, {3.0, 0.0, 0.0}};
    const Interval s = bound([](Tape& t) { t.op(Op::sin, 0); }, x_range);
    CHECK(s.hi == 1.0 && s.lo <= std::sin(0.1) && s.lo > 0.0998);
    const Interval c = bound([](Tape& t) { t.op(Op::cos, 0); }, x_range);
    CHECK(c.hi >= std::cos(0.1) && c.hi < 1.0 && c.lo <= std::cos(3.0) && c.lo > -1.0);
    const Box across{{-1.0, -0.5, 0.0}, {4.0, 0.5, 0.0}};
    CHECK(bound([](Tape& t) { t.op(Op::sqrt, 0); }, across).is_unknown());
    const Interval q = bound([](Tape& t) { t.op(Op::div, t.k(1.0), 0); }, across);
    CHECK(std::isinf(q.lo) && std::isinf(q.hi) && !q.is_unknown());
    CHECK(bound([](Tape& t) { t.op(Op::div, 1, 0); }, across).is_unknown());  // 0 / 0 possible
    const Interval sel = bound([](Tape& t) { t.op(Op::select, t.op(Op::less, 0, t.k(0.0)), t.k(-2.0), t.k(5.0)); }, across);
    CHECK(sel.lo == -2.0 && sel.hi == 5.0);
    const Interval angle = bound([](Tape& t) { t.op(Op::atan2, 1, 0); }, across);
    CHECK(angle.lo <= -kPi && angle.hi >= kPi);
    const Interval right = bound([](Tape& t) { t.op(Op::atan2, 1, 0); }, {{1.0, -1.0, 0.0}, {2.0, 1.0, 0.0}});
    CHECK(right.lo < -0.78 && right.lo > -0.79 && right.hi > 0.78 && right.hi < 0.79);
}

// ---------------------------------------------------------------- checking

TEST(program_refuses_malformed_tapes) {
    struct Bad {
        std::vector<Instr> code;
        std::vector<double> constants;
        const char* says;
    };
    const std::vector<Bad> cases{
        {{}, {}, "at least one instruction"},
        {{{static_cast<Op>(200), 0, 0, 0, 0}}, {}, "unknown opcode"},
        {{{Op::add, 0, 3, 0, 0}}, {}, "operand b reads register 3"},  // its own output
        {{{Op::neg, 0, 0, 0, 0}, {Op::add, 4, 0, 0, 0}}, {}, "operand a reads register 4"},
        {{{Op::neg, 0, 1, 0, 0}}, {}, "operand b is unused"},
        {{{Op::constant, 0, 0, 0, 1}}, {0.5}, "constant 1 out of range"},
        {{{Op::add, 0, 1, 0, 7}}, {}, "immediate is unused"},
        {{{Op::length2, 0, 1, 0, 3}}, {}, "fallback operand out of range"},
        {{{Op::polygon, 0, 1, 0, 2}}, {0, 0, 1, 0, 0, 1, 1, 1}, "at least 3 corners"},
        {{{Op::polygon, 0, 1, 1, 3}}, std::vector<double>(12, 0.0), "runs past the constants"},
        {{{Op::polygon, 0, 1, 0xffffffffu, 0x40000000u}}, {}, "runs past the constants"},
        {{{Op::polygon, 0, 1, 0, 3}},
         {0, 0, 1, 0, 0, 1, 0, -1, std::nan(""), 0.5, -1, 0},
         "non-finite number (constant 8)"},
        {std::vector<Instr>(Program::kMaxInstructions + 1, Instr{Op::neg, 0, 0, 0, 0}), {}, "at most"},
    };
    for (const Bad& b : cases) {
        std::string message;
        try {
            Program(b.code, b.constants);
        } catch (const ProgramError& e) {
            message = e.what();
        }
        if (message.find(b.says) == std::string::npos) std::cerr << "got: " << message << "\n";
        CHECK(message.find(b.says) != std::string::npos);
    }
}

TEST(program_deep_chains_run_in_a_few_registers) {
    // A union of 100000 balls folded one by one, as nested unions compile: no
    // recursion anywhere, and the registers of finished balls are reused.
    Tape t;
    std::uint32_t acc = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t d = t.op(Op::sub, 0, t.k(0.01 * i));
        const std::uint32_t ball = t.op(Op::sub, t.op(Op::length3, d, 1, 2, 2), t.k(0.3));
        acc = i == 0 ? ball : t.op(Op::min, acc, ball);
    }
    const Program program = t.build();
    CHECK(program.slots() < 3 + t.constants.size() + 8);
    const Vec3 p{500.0, 0.4, 0.0};  // 0.4 from the ball at x = 500
    CHECK_NEAR(values_at(program, {p})[0], 0.1, 1e-9);
}

TEST(program_steps_skip_what_the_result_does_not_need) {
    Tape t;
    t.op(Op::sin, 0);  // unused
    const std::uint32_t used = t.op(Op::mul, 1, 2);
    t.op(Op::neg, used);
    CHECK(t.build().steps() == 2);
}

// ---------------------------------------------------------------- as a field

TEST(program_meshes_as_a_field) {
    // A ball of radius 0.3 through the whole pipeline: octree corners with
    // gradients, values-only bisection, vertices on the sphere.
    Tape t;
    const std::uint32_t c = t.k(0.5);
    t.op(Op::sub, t.op(Op::length3, t.op(Op::sub, 0, c), t.op(Op::sub, 1, c), t.op(Op::sub, 2, c), 2), t.k(0.3));
    const Program program = t.build();
    ProgramField field(program);
    BuildParams params;
    params.bbox_max = {1.0, 1.0, 1.0};
    params.min_depth = 3;
    params.max_depth = 5;
    const BuildResult built = build_octree(field, params);
    const TriangleMesh mesh = extract_dual_contour(field, built.tree, 30.0);
    REQUIRE(!mesh.triangles.empty());
    for (const Vec3& v : mesh.vertices)
        CHECK_NEAR(std::sqrt((v[0] - 0.5) * (v[0] - 0.5) + (v[1] - 0.5) * (v[1] - 0.5) + (v[2] - 0.5) * (v[2] - 0.5)),
                   0.3, 1e-9);
    // And it bounds its values over boxes, where other fields cannot.
    const Box corner{{0.0, 0.0, 0.0}, {0.1, 0.1, 0.1}};
    std::vector<Interval> bound(1);
    REQUIRE(field.eval_bounds({&corner, 1}, bound));
    CHECK(bound[0].lo > 0.0 && bound[0].lo <= std::sqrt(3 * 0.4 * 0.4) - 0.3);
}

TEST(program_bounds_survive_clipping) {
    // The clipped field's bounds hold every clipped value, for boxes inside,
    // across and outside the clipping box.
    Tape t;
    t.op(Op::sub, t.op(Op::length3, 0, 1, 2, 3), t.k(0.8));
    const Program program = t.build();
    ProgramField ball(program);
    ClippedField clipped(ball, {{-1.0, -1.0, -0.3}, {1.0, 1.0, 0.4}}, 0.1);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Box> boxes;
    for (double half : {1e-3, 0.1, 0.5})
        for (int k = 0; k < 60; ++k) {
            const Vec3 centre{3 * unit(rng) - 1.5, 3 * unit(rng) - 1.5, 3 * unit(rng) - 1.5};
            boxes.push_back({{centre[0] - half, centre[1] - half, centre[2] - half},
                             {centre[0] + half, centre[1] + half, centre[2] + half}});
        }
    std::vector<Interval> bounds(boxes.size());
    REQUIRE(clipped.eval_bounds(boxes, bounds));
    int outside = 0, one_sided = 0;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        std::vector<Vec3> points;
        for (int k = 0; k < 32; ++k) {
            Vec3 q;
            for (int a = 0; a < 3; ++a) q[a] = boxes[i].lo[a] + unit(rng) * (boxes[i].hi[a] - boxes[i].lo[a]);
            points.push_back(q);
        }
        for (double v : clipped.eval_values(points)) outside += !(bounds[i].lo <= v && v <= bounds[i].hi);
        one_sided += bounds[i].lo > 0.1 || bounds[i].hi < 0.1;
    }
    CHECK(outside == 0);
    CHECK(one_sided * 2 > static_cast<int>(boxes.size()));  // bounds that prove something
}

// ---------------------------------------------------------------- calls

namespace {

// x^2 + 2y - z, with its gradient; counts its calls and points.
struct Quadratic final : External {
    int calls = 0;
    std::size_t points = 0;
    void eval(std::span<const Vec3> p, std::span<double> values, std::span<Vec3> gradients) override {
        ++calls;
        points += p.size();
        for (std::size_t i = 0; i < p.size(); ++i) {
            values[i] = p[i][0] * p[i][0] + 2.0 * p[i][1] - p[i][2];
            if (!gradients.empty()) gradients[i] = {2.0 * p[i][0], 2.0, -1.0};
        }
    }
};

struct Refusing final : External {
    void eval(std::span<const Vec3>, std::span<double>, std::span<Vec3>) override {
        throw std::runtime_error("refused");
    }
};

}  // namespace

TEST(program_calls_run_each_function_once_per_batch_with_the_chain_rule) {
    // f at (3x, y + z, 0.5) plus f at the point itself, minus 1: one function, two calls.
    Tape t;
    const std::uint32_t moved = t.op(Op::call, t.op(Op::mul, 0, t.k(3.0)), t.op(Op::add, 1, 2), t.k(0.5), 0);
    const std::uint32_t here = t.op(Op::call, 0, 1, 2, 0);
    t.op(Op::sub, t.op(Op::add, moved, here), t.k(1.0));
    auto f = std::make_shared<Quadratic>();
    const Program program(t.code, t.constants, {f});
    CHECK(program.calls());
    const std::vector<Vec3> points = random_points(1000, 1.0, 11);
    std::vector<double> values(points.size());
    std::vector<Vec3> gradients(points.size());
    program.eval(points, values, gradients);
    CHECK(f->calls == 1 && f->points == 2 * points.size());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const double x = points[i][0], y = points[i][1], z = points[i][2];
        CHECK_NEAR(values[i], 9 * x * x + 2 * (y + z) - 0.5 + x * x + 2 * y - z - 1.0, 1e-12);
        CHECK_NEAR(gradients[i][0], 18 * x + 2 * x, 1e-12);
        CHECK_NEAR(gradients[i][1], 2.0 + 2.0, 1e-12);
        CHECK_NEAR(gradients[i][2], 2.0 - 1.0, 1e-12);
    }
    CHECK(values_at(program, points) == values);
    CHECK(f->calls == 2);
    // Nothing bounds what a function returns.
    ProgramField field(program);
    const Box box{{0.0, 0.0, 0.0}, {0.1, 0.1, 0.1}};
    std::vector<Interval> bound(1);
    CHECK(!field.eval_bounds({&box, 1}, bound));
    program.eval_bounds({&box, 1}, bound);
    CHECK(bound[0].is_unknown());
}

TEST(program_calls_refuse_points_from_calls_and_pass_errors_on) {
    Tape t;
    const std::uint32_t first = t.op(Op::call, 0, 1, 2, 0);
    t.op(Op::call, first, 1, 2, 0);
    std::string message;
    try {
        Program(t.code, t.constants, {std::make_shared<Quadratic>()});
    } catch (const ProgramError& e) {
        message = e.what();
    }
    CHECK(message.find("instruction 1 (call): its point depends on the result of a call") != std::string::npos);
    message.clear();
    try {
        Program({{Op::call, 0, 1, 2, 1}}, {}, {std::make_shared<Quadratic>()});
    } catch (const ProgramError& e) {
        message = e.what();
    }
    CHECK(message.find("external function 1 out of range (1 given)") != std::string::npos);
    const Program refusing({{Op::call, 0, 1, 2, 0}}, {}, {std::make_shared<Refusing>()});
    message.clear();
    try {
        values_at(refusing, {{0.0, 0.0, 0.0}});
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    CHECK(message == "refused");
}

namespace {

// The signed distance by every edge in order, as the indexed search must give it bit for bit.
PolygonSample polygon_in_full(const PolygonEdges& p, double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return {double{NAN}, double{NAN}, double{NAN}};
    double best = INFINITY, near_x = 0.0, near_y = 0.0, normal_x = 0.0, normal_y = 0.0;
    bool inside = false, along = false;
    for (std::size_t j = 0; j < p.ax.size(); ++j) {
        const double pax = x - p.ax[j], pay = y - p.ay[j];
        double t = (pax * p.ex[j] + pay * p.ey[j]) / p.len2[j];
        t = t < 0.0 ? 0.0 : (t > 1.0 ? 1.0 : t);
        const double dx = pax - t * p.ex[j], dy = pay - t * p.ey[j], d2 = dx * dx + dy * dy;
        if (d2 < best) {
            best = d2, near_x = dx, near_y = dy, normal_x = p.nx[j], normal_y = p.ny[j];
            along = t > 0.0 && t < 1.0;
        }
        if ((p.ay[j] <= y) != (p.end_y[j] <= y) && x < p.ax[j] + (y - p.ay[j]) * p.slope[j]) inside = !inside;
    }
    const double dist = std::sqrt(best), side = inside ? -1.0 : 1.0;
    if (dist > 0.0 && !along) return {side * dist, side * near_x / dist, side * near_y / dist};
    return {side * dist, normal_x, normal_y};
}

bool same_bits(const PolygonSample& a, const PolygonSample& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

TEST(polygons_of_many_edges_give_what_every_edge_in_order_gives) {
    // A ragged star (near and far points, ties across its symmetry), a comb
    // of many bands, and a square with repeated and collinear corners; points
    // on corners, on edges, on the bands' ys, far away and huge.
    std::mt19937 rng(7);
    std::vector<std::vector<double>> shapes;
    std::vector<double> star, comb, square;
    for (int j = 0; j < 96; ++j) {
        const double r = j % 2 ? 0.4 : 1.0 + 0.1 * (j % 5), a = 2.0 * kPi * j / 96;
        star.insert(star.end(), {r * std::cos(a), r * std::sin(a)});
    }
    for (int j = 0; j < 40; ++j) comb.insert(comb.end(), {j * 0.1, j % 2 ? 1.0 : 0.2});
    comb.insert(comb.end(), {3.9, -1.0, 0.0, -1.0});
    for (double v : {0.0, 0.25, 0.5, 0.5, 0.75, 1.0})
        square.insert(square.end(), {v, 0.0});
    for (double v : {0.25, 0.5, 0.75, 1.0}) square.insert(square.end(), {1.0, v});
    for (double v : {0.75, 0.5, 0.25, 0.0}) square.insert(square.end(), {v, 1.0});
    for (double v : {0.75, 0.5, 0.25, 0.25, 0.25}) square.insert(square.end(), {0.0, v});
    for (std::vector<double> corners : {star, comb, square}) {
        const std::size_t n = corners.size() / 2;
        for (std::size_t j = 0; j < n; ++j) {  // unit normals (their values do not matter here)
            const std::size_t k = (j + 1) % n;
            const double ex = corners[2 * k] - corners[2 * j], ey = corners[2 * k + 1] - corners[2 * j + 1];
            const double len = std::hypot(ex, ey);
            corners.insert(corners.end(), {len > 0 ? ey / len : 0.0, len > 0 ? -ex / len : 0.0});
        }
        const PolygonEdges p = prepare_polygon(corners.data(), n);
        CHECK(!p.box.empty());
        std::vector<std::array<double, 2>> points;
        std::uniform_real_distribution<double> near(-1.5, 4.5), unit(0.0, 1.0);
        for (int i = 0; i < 4000; ++i) points.push_back({near(rng), near(rng)});
        for (std::size_t j = 0; j < n; ++j) {
            const double t = unit(rng);
            points.push_back({corners[2 * j], corners[2 * j + 1]});
            points.push_back({p.ax[j] + t * p.ex[j], p.ay[j] + t * p.ey[j]});
            points.push_back({near(rng), corners[2 * j + 1]});
            points.push_back({0.0, corners[2 * j + 1]});
        }
        for (double far : {30.0, -1e6, 1e200, double{INFINITY}, double{NAN}}) {
            points.push_back({far, 0.5});
            points.push_back({0.5, far});
        }
        for (const auto& [x, y] : points) CHECK(same_bits(polygon_sample(p, x, y), polygon_in_full(p, x, y)));
    }
}

namespace {

// A tape's value and gradient at one point, instruction by instruction with
// the plain kernels (only the opcodes the test below uses).
Dual interpret(const Tape& t, const Vec3& p) {
    std::vector<Dual> r{{p[0], 1, 0, 0}, {p[1], 0, 1, 0}, {p[2], 0, 0, 1}};
    for (const Instr& in : t.code) {
        const auto a = [&] { return r[in.a]; };
        const auto b = [&] { return r[in.b]; };
        switch (in.op) {
            case Op::constant: r.push_back({t.constants[in.imm], 0, 0, 0}); break;
            case Op::sub: r.push_back(ops::sub(a(), b())); break;
            case Op::min: r.push_back(ops::min(a(), b())); break;
            case Op::max: r.push_back(ops::max(a(), b())); break;
            case Op::less: r.push_back(ops::less(a(), b())); break;
            case Op::select: r.push_back(ops::select(a(), b(), r[in.c])); break;
            case Op::length3: r.push_back(ops::length3(a(), b(), r[in.c], in.imm)); break;
            default: throw std::logic_error("not interpreted");
        }
    }
    return r.back();
}

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

}  // namespace

TEST(programs_specialized_to_a_neighbourhood_give_what_the_whole_tape_gives) {
    // Balls joined by min, two of them mirror images (ties on their plane),
    // cut by a max, capped by a constant, and a select on x: batches of
    // neighbouring points take the specialized steps, some of them with a
    // NaN point among them, which bounds cannot speak for.
    Tape t;
    const auto ball = [&](double x, double y, double z, double radius) {
        return t.op(Op::sub, t.op(Op::length3, t.op(Op::sub, 0, t.k(x)), t.op(Op::sub, 1, t.k(y)),
                                  t.op(Op::sub, 2, t.k(z)), 3),
                    t.k(radius));
    };
    std::uint32_t balls = ball(0.5, 0.0, 0.0, 0.3);
    balls = t.op(Op::min, balls, ball(-0.5, 0.0, 0.0, 0.3));
    balls = t.op(Op::min, balls, ball(0.0, 0.6, 0.2, 0.25));
    balls = t.op(Op::min, balls, ball(0.1, -0.6, -0.3, 0.2));
    const std::uint32_t cut = t.op(Op::max, balls, t.op(Op::sub, t.k(-0.7), 2));
    const std::uint32_t capped = t.op(Op::min, cut, t.k(0.4));
    const std::uint32_t left = t.op(Op::less, 0, t.k(-0.9));
    t.op(Op::select, left, t.op(Op::sub, 0, t.k(0.2)), capped);
    const Program program = t.build();
    Program::Specialized special;
    CHECK(program.specialize({{0.4, -0.1, -0.1}, {0.6, 0.1, 0.1}}, special));
    CHECK(special.steps.size() < program.steps() / 2);
    CHECK(!program.specialize({{-2.0, -2.0, -2.0}, {2.0, 2.0, 2.0}}, special));
    std::vector<Vec3> points;
    for (int i = 0; i < 41; ++i)
        for (int j = 0; j < 41; ++j)
            for (int k = 0; k < 41; ++k) points.push_back({-1.2 + 0.06 * i, -1.2 + 0.06 * j, -1.2 + 0.06 * k});
    for (std::size_t i = 300; i < points.size(); i += 7919) points[i][1] = NAN;
    std::vector<double> values(points.size()), only(points.size());
    std::vector<Vec3> gradients(points.size());
    program.eval(points, values, gradients);
    program.eval_values(points, only);
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Dual r = interpret(t, points[i]);
        CHECK(same(values[i], r.v) && same(only[i], r.v));
        CHECK(same(gradients[i][0], r.dx) && same(gradients[i][1], r.dy) && same(gradients[i][2], r.dz));
    }
}
