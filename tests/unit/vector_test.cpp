// vector!: the element API the layout code builds vectors through.
#include <iterator>

#include "datatypes/vector.h"
#include "tests/unit/runtime_fixture.h"

namespace kel::testing {
namespace {

using VectorTest = RuntimeTest;

TEST_F(VectorTest, AppendIntGrowsFromAnEmptyVector) {
    cell* v = vector::make_at(stack::push_cell(), TYPE_INTEGER, 4, 1);
    const int32_t values[] = {7, -1, 2147483647, -2147483647 - 1, 0, 42, 1000, -5, 3};
    for (int32_t n : values) vector::ks_append_int(v, n);
    series_buffer* b = node_buffer(series_node(v));
    ASSERT_EQ(b->used_bytes(), sizeof values);
    for (int32_t i = 0; i < int32_t(std::size(values)); i++) {
        const cell* e = vector::get_value(v, i);
        EXPECT_EQ(TYPE_OF(e), uint32_t{TYPE_INTEGER});
        EXPECT_EQ(static_cast<int32_t>(e->w2), values[i]);
    }
}

}  // namespace
}  // namespace kel::testing
