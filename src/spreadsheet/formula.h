// Formulas: the parsed form of a cell formula, its parser (A1 and R1C1
// notation) and its writer. A Formula is immutable once parsed and shared
// (cells, evaluations in progress and re-entrant writes each hold a
// reference), so replacing a cell's formula never pulls a tree out from
// under an evaluation.
//
// References are kept relative to the cell holding the formula (as R1C1
// notation thinks of them), so the same tree writes back in either notation,
// and a formula copied down a column is one tree for every cell of it.
// Sheets are bound by id: renaming a sheet renames it in every formula, and
// a reference to a deleted sheet writes as #REF!.
//
// Parsing takes the whole text and does no I/O; bad input gives an error with
// its position, never a crash. Any thread (the resolver decides).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/status.h"
#include "common/value.h"

namespace quillo::spreadsheet {

using SheetId = std::uint32_t;  // 0 = no sheet
struct FunctionDef;

// One coordinate of a reference: an absolute row or column (1-based), or an
// offset from the formula's own cell.
struct RefPart {
  std::int32_t n = 0;
  bool abs = false;
  bool operator==(const RefPart&) const = default;
};

// A field most values leave empty, kept out of line: one pointer until it
// is set, so a tree of thousands of nodes pays for the rare parts (sheet
// names as written, workbook prefixes) only where they occur. It copies as
// a value; reading an unset one answers T's default.
template <typename T>
class OutOfLine {
 public:
  OutOfLine() = default;
  OutOfLine(const OutOfLine& o) : m_p(o.m_p ? std::make_unique<T>(*o.m_p) : nullptr) {}
  OutOfLine(OutOfLine&&) noexcept = default;
  OutOfLine& operator=(const OutOfLine& o) {
    if (this != &o) m_p = o.m_p ? std::make_unique<T>(*o.m_p) : nullptr;
    return *this;
  }
  OutOfLine& operator=(OutOfLine&&) noexcept = default;
  ~OutOfLine() = default;

  const T& get() const {
    static const T empty{};
    return m_p ? *m_p : empty;
  }
  void set(T v) { m_p = std::make_unique<T>(std::move(v)); }
  // The value to change in place, made (as T's default) when unset.
  T& edit() {
    if (!m_p) m_p = std::make_unique<T>();
    return *m_p;
  }

 private:
  std::unique_ptr<T> m_p;
};

struct RefAst {
  enum class Kind : std::uint8_t { Cell, Area, Columns, Rows };
  Kind kind = Kind::Cell;
  bool has_sheet = false;
  // The whole argument of a function that reads only where it points (ROW,
  // COLUMN, ROWS, COLUMNS, ISREF), never the cells' values: no dependency,
  // so =ROW(B1) in B1 is no circular reference.
  bool position_only = false;
  SheetId sheet = 0;       // bound sheet; 0 when unqualified or unresolved
  RefPart r1, c1, r2, c2;  // Columns kind ignores rows, Rows kind columns
  // The last sheet of a 3-D reference (Sheet1:Sheet3!A1:B2), which stands
  // for the box on every sheet from sheet to sheet2 in workbook order.
  SheetId sheet2 = 0;

  // The sheet as written, for a sheet that did not resolve.
  const std::string& sheet_name() const { return m_names.get().first; }
  // The last sheet of a 3-D reference as written; empty for a reference on
  // one sheet.
  const std::string& sheet2_name() const { return m_names.get().second; }
  void set_sheet_names(std::string first, std::string last = {}) {
    m_names.set({std::move(first), std::move(last)});
  }
  bool three_d() const { return !sheet2_name().empty(); }

 private:
  OutOfLine<std::pair<std::string, std::string>> m_names;
};

struct Node;

// A node's operands or call arguments in order: one pointer in the node,
// to a block holding the count, the capacity and the operands (none for a
// node without operands), where a vector took 24 bytes. It answers as the
// vector it replaces: size, [], iteration, push_back. The parser makes a
// node and its block in one allocation (Node::with_room): that block goes
// with the node, and the list never frees it itself (such a list is never
// moved out of its node).
class NodeList {
 public:
  using value_type = std::unique_ptr<Node>;
  NodeList() = default;
  NodeList(NodeList&& o) noexcept : m_block(std::exchange(o.m_block, nullptr)) {}
  NodeList& operator=(NodeList&& o) noexcept {
    if (this != &o) {
      release();
      m_block = std::exchange(o.m_block, nullptr);
    }
    return *this;
  }
  NodeList(const NodeList&) = delete;
  NodeList& operator=(const NodeList&) = delete;
  ~NodeList() { release(); }

  std::size_t size() const { return m_block ? m_block->size : 0; }
  bool empty() const { return size() == 0; }
  value_type& operator[](std::size_t i) { return m_block->items()[i]; }
  const value_type& operator[](std::size_t i) const { return m_block->items()[i]; }
  value_type* begin() { return m_block ? m_block->items() : nullptr; }
  value_type* end() { return begin() + size(); }
  const value_type* begin() const { return m_block ? m_block->items() : nullptr; }
  const value_type* end() const { return begin() + size(); }
  value_type& back() { return (*this)[size() - 1]; }
  const value_type& back() const { return (*this)[size() - 1]; }
  void push_back(value_type node);

 private:
  // The block: this header, then cap operands.
  struct Block {
    std::uint32_t size = 0;
    std::uint32_t cap = 0;
    value_type* items() { return reinterpret_cast<value_type*>(this + 1); }
    const value_type* items() const { return reinterpret_cast<const value_type*>(this + 1); }
  };
  static_assert(sizeof(Block) % alignof(value_type) == 0);
  // Defined below Node: they destroy nodes.
  void grow();
  void release();

  // The block after its node (Node::with_room), room for cap operands.
  friend struct Node;
  void use_room(void* at, std::uint32_t cap) { m_block = ::new (at) Block{0, cap | kInNode}; }
  static constexpr std::size_t room_bytes(std::uint32_t cap) {
    return sizeof(Block) + cap * sizeof(value_type);
  }
  std::uint32_t capacity() const { return m_block->cap & ~kInNode; }
  // Marks a block made with its node, which the list must not free.
  static constexpr std::uint32_t kInNode = 0x80000000u;

  Block* m_block = nullptr;
};

enum class Op : std::uint8_t {
  Add,
  Sub,
  Mul,
  Div,
  Pow,
  Concat,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,     // binary
  Range,  // reference operators: A1:INDEX(...), the union (A1,B2) and
  Union,  // the intersection "A1:C3 B2:D4"
  Isect,
  Neg,
  Plus,
  Percent  // unary
};

struct Node {
  enum class Kind : std::uint8_t {
    Number,
    Text,
    Bool,
    Error,
    Array,
    Ref,
    Unary,
    Binary,
    Paren,
    Call,
    Missing,
    Name
  };
  Node() = default;
  // A node of kind k whose constant (a Call, Name or Ref node: its name) is
  // made from args in place, not made apart and assigned: the parser makes
  // one for nearly every node it reads.
  template <typename... A>
  explicit Node(Kind k, A&&... args) : kind(k), constant(std::forward<A>(args)...) {}

  // A node as above made with room for n operands in its own allocation:
  // one allocation where the node and its operands' list took two. The
  // list grows apart from the node past n.
  template <typename... A>
  static std::unique_ptr<Node> with_room(std::uint32_t n, Kind k, A&&... args) {
    return with_leaf_room(n, 0, nullptr, k, std::forward<A>(args)...);
  }
  // As with_room, with room besides for `leaves` operands that have no
  // operands of their own (texts, missing arguments), whose start is set
  // in *room: made there by in_room, a call's constant arguments take no
  // allocation of their own.
  template <typename... A>
  static std::unique_ptr<Node> with_leaf_room(std::uint32_t n, std::uint32_t leaves, Node** room,
                                              Kind k, A&&... args) {
    static_assert(NodeList::room_bytes(0) % alignof(Node) == 0 &&
                  sizeof(Node) % alignof(Node) == 0);
    const std::size_t list = NodeList::room_bytes(n);
    void* memory = ::operator new (sizeof(Node) + list + std::size_t{leaves} * sizeof(Node));
    Node* node = nullptr;
    try {
      node = ::new (memory) Node(k, std::forward<A>(args)...);
    } catch (...) {
      ::operator delete(memory);
      throw;
    }
    node->args.use_room(static_cast<char*>(memory) + sizeof(Node), n);
    if (room) *room = reinterpret_cast<Node*>(static_cast<char*>(memory) + sizeof(Node) + list);
    return std::unique_ptr<Node>(node);
  }
  // A node without operands made at `at`, in the leaf room of the node it
  // is to be an operand of (with_leaf_room). That node's memory holds it:
  // it must stay among that node's operands, which go before their node's
  // memory does, and it frees nothing itself when it goes.
  template <typename... A>
  static std::unique_ptr<Node> in_room(Node* at, Kind k, A&&... args) {
    Node* node = ::new (static_cast<void*>(at)) Node(k, std::forward<A>(args)...);
    node->m_in_room = true;
    return std::unique_ptr<Node>(node);
  }
  // A node made with room is larger than a Node (it is freed unsized); one
  // made in another's room is not freed at all.
  static void operator delete(Node* p, std::destroying_delete_t) {
    const bool in_room = p->m_in_room;
    p->~Node();
    if (!in_room) ::operator delete(p);
  }

  Kind kind = Kind::Missing;
  Op op = Op::Add;
  bool has_book = false;  // a call through an external workbook: 'path'!name(...)
 private:
  bool m_in_room = false;  // made in another node's room (in_room)

 public:
  std::uint16_t height = 1;  // levels below and including this node
  const FunctionDef* builtin = nullptr;
  // Number, Text, Bool, Error and Array constants. A Call, Name or Ref node
  // never has one: it keeps its name there instead (see name()).
  Value constant;
  NodeList args;  // operands or call arguments

  // Function or defined name as written; for a Ref node written as a
  // structured reference (Table[Col]), that text, which the writer repeats.
  // Empty for every other node.
  const std::string& name() const {
    static const std::string none;
    return (kind == Kind::Call || kind == Kind::Name || kind == Kind::Ref) && constant.is_text()
               ? constant.text()
               : none;
  }
  // For a Call, Name or Ref node, after its kind is set.
  void set_name(std::string_view n) { constant = Value(n); }

  // The reference of a Ref node; for a Name node, the sheet it was
  // qualified with (Sheet1!Rate). Other nodes answer an empty one.
  const RefAst& ref() const { return m_rare.get().ref; }
  void set_ref(RefAst r) { m_rare.edit().ref = std::move(r); }
  // The workbook as written, when has_book.
  const std::string& book() const { return m_rare.get().book.get(); }
  void set_book(std::string b) { m_rare.edit().book.set(std::move(b)); }

 private:
  // Most nodes have neither a reference nor a workbook: they cost one
  // pointer, not a RefAst and a string, which (with the operands' list of
  // one pointer) keeps a node at 72 bytes.
  struct Rare {
    RefAst ref;
    OutOfLine<std::string> book;
  };
  OutOfLine<Rare> m_rare;
};

static_assert(sizeof(Node) <= 72, "a node is kept for every operand of every formula");

inline void NodeList::push_back(value_type node) {
  if (!m_block || m_block->size == capacity()) grow();
  ::new (static_cast<void*>(m_block->items() + m_block->size)) value_type(std::move(node));
  ++m_block->size;
}

inline void NodeList::grow() {
  const std::uint32_t size = m_block ? m_block->size : 0;
  // Room for two at first: the operands of a binary operator and the
  // arguments of most calls then take one block, not two and a copy. A
  // block of one or of two fits the same smallest piece malloc hands out.
  const std::uint32_t cap = size == 0 ? 2 : size * 2;
  void* memory = ::operator new(sizeof(Block) + cap * sizeof(value_type));
  Block* block = ::new (memory) Block{size, cap};
  for (std::uint32_t i = 0; i < size; ++i) {
    ::new (static_cast<void*>(block->items() + i)) value_type(std::move(m_block->items()[i]));
    m_block->items()[i].~value_type();
  }
  if (m_block && (m_block->cap & kInNode) == 0) ::operator delete(m_block);
  m_block = block;
}

inline void NodeList::release() {
  if (!m_block) return;
  for (std::uint32_t i = 0; i < m_block->size; ++i) m_block->items()[i].~value_type();
  if ((m_block->cap & kInNode) == 0) ::operator delete(m_block);
  m_block = nullptr;
}

struct Formula {
  std::unique_ptr<Node> root;
  bool is_volatile = false;     // calls a function whose answer changes by itself (NOW)
  bool calls_external = false;  // calls a function that is not built in (add-ins)
  bool uses_names = false;      // reads a defined name
  // Names a sheet (Data!A1, Data!Rate, Jan:Data!A1) its book did not have
  // when it was parsed. Read anew once the book has one of that name, it
  // reads that sheet (Model::finds_sheet_now).
  bool unfound_sheet = false;
  // A digest of what same_shape compares, set by the parser (0: not worked
  // out): formulas whose digests differ are not of one shape, so comparing
  // a formula entered with its neighbours mostly ends here. It sits beside
  // the flags, which fill what would be padding: a formula stays 40 bytes.
  std::uint32_t shape = 0;
  std::vector<RefAst> refs;  // every reference, for dependency tracking
};
static_assert(sizeof(Formula) <= 40, "a formula is kept for every formula cell");
using FormulaPtr = std::shared_ptr<const Formula>;

enum class Notation : std::uint8_t { A1, R1C1 };

// Maps a sheet name (any letter case) to its id; 0 when there is none.
using SheetResolver = std::function<SheetId(std::string_view)>;
// Maps a sheet id back to its current name; empty when the sheet is gone.
using SheetNamer = std::function<std::string(SheetId)>;

// A table (list object) as structured references see it: its cells,
// header and totals rows included, and its column names in order.
struct TableInfo {
  std::string name;
  SheetId sheet = 0;
  std::int32_t r1 = 0, c1 = 0, r2 = 0, c2 = 0;
  std::int32_t header_rows = 1;
  std::int32_t totals_rows = 0;
  std::vector<std::string> columns;
};
// The table of this name (any letter case); null when there is none.
using TableResolver = std::function<const TableInfo*(std::string_view)>;

inline constexpr std::size_t kMaxFormulaLength = 8192;
inline constexpr int kMaxFormulaHeight = 512;

// Parses a formula (with or without its leading "="; the caller decides what
// is a formula) written in the cell at (row, col). Fails with
// OperationFailed and a message that gives the position. Structured
// references (Table[Col]) become references to the cells of the table that
// tables answers; without it they fail.
Result<FormulaPtr> parse_formula(std::string_view text, Notation notation, std::int32_t row,
                                 std::int32_t col, const SheetResolver& resolve,
                                 const TableResolver& tables = TableResolver());

// How a formula is written: as a person sees it, or as a workbook file
// stores it (functions newer than the file format carry "_xlfn.").
enum class FormulaText : std::uint8_t { Display, File };

// Writes the formula back, with its leading "=".
std::string write_formula(const Formula& f, Notation notation, std::int32_t row, std::int32_t col,
                          const SheetNamer& name_of, FormulaText form = FormulaText::Display);

// A constant as a formula writes it (texts quoted, numbers shortest form).
std::string write_constant(const Value& v);

// True when a and b are the same tree: the same operations, constants,
// names and references (relative ones as the same offsets). Two cells whose
// formulas have the same shape can then share one parsed formula, and each
// writes it back as its own text.
bool same_shape(const Formula& a, const Formula& b);

}  // namespace quillo::spreadsheet
