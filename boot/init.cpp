#include "boot/init.h"

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/block.h"
#include "datatypes/catalog.h"
#include "datatypes/char.h"
#include "datatypes/context.h"
#include "datatypes/datatype.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/function.h"
#include "datatypes/handle.h"
#include "datatypes/hash.h"
#include "datatypes/image.h"
#include "datatypes/integer.h"
#include "datatypes/lexer.h"
#include "datatypes/lexer_callback.h"
#include "datatypes/logic.h"
#include "datatypes/map.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/none.h"
#include "datatypes/object.h"
#include "datatypes/pair.h"
#include "datatypes/paren.h"
#include "datatypes/path.h"
#include "datatypes/percent.h"
#include "datatypes/point.h"
#include "datatypes/port.h"
#include "datatypes/series.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/tag.h"
#include "datatypes/time.h"
#include "datatypes/triple.h"
#include "datatypes/tuple.h"
#include "datatypes/typeset.h"
#include "datatypes/unset.h"
#include "datatypes/url.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "evaluator/actions.h"
#include "evaluator/checksum.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "io/simple_io.h"
#include "runtime/case_folding.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/handle_table.h"
#include "runtime/memory.h"
#include "runtime/os.h"
#include "runtime/output_hooks.h"
#include "runtime/ownership.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kel {

namespace {

// Parents register before their children.
void register_datatypes() {
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    series::init();
    block::init();
    string::init();
    binary::init();
    integer::init();
    symbol::init();
    _context::init();
    word::init();
    char_::init();
    native_datatype::init();
    action_datatype::init();
    op::init();
    path::init();
    function::init();
    routine::init();
    paren::init();
    issue::init();
    url::init();
    file::init();
    object::init();
    triple::init();
    float_::init();
    typeset::init();
    bitset::init();
    error::init();
    map::init();
    hash::init();
    pair::init();
    percent::init();
    tuple::init();
    time::init();
    tag::init();
    email::init();
    handle::init();
    date::init();
    money::init();
    ref::init();
    point2D::init();
    point3D::init();
    vector::init();
    port::init();
    image::init();
}

}  // namespace

void runtime_init() {
    output_hooks_init();
    platform_init();
    random_init();
    init_memory();
    init_handle_table();
    register_datatypes();
    register_actions();
    register_natives();
    simple_io::init();
    cycles_init();
    case_folding_init();
    ownership::init();
    stack::init();
    interpreter_init();
    symbol::table_init();
    _context::global_init();
    words_init();
    refinements_init();
    lexer_init();
    lexer_callback_init();
    init_checksum_words();
    externals_init();
    catalog::init();
    collector_init_stats();
}

}  // namespace kel
