// Follows a component's steps through an event's values.
//
// Each step first looks through an any to what it holds, except _type_id
// and _repos_id, which describe the any itself. A step that does not fit
// the value it meets (a member a struct lacks, an index past a sequence's
// end, a label that is not the union's discriminator, .N on a sequence)
// finds nothing.
//   .name .N     a struct's member by name or by position (from 0)
//   ._d          a union's discriminator
//   .(L)         a union's member when its discriminator is L (an integer,
//                a string for enum and char discriminators, TRUE or FALSE)
//   .()          a union's member when it is the default one
//   [N] ._length a sequence's or array's element, its number of elements
//   ._type_id ._repos_id  the name and repository id of an any's type

#ifndef KESTREL_FILTER_COMPONENT_PATH_H_
#define KESTREL_FILTER_COMPONENT_PATH_H_

#include "filter/event_view.h"
#include "filter/operand.h"
#include "filter/syntax_tree.h"
#include "filter/value.h"

namespace kestrel {
namespace filter {

// The value that component names in view, what an any there holds rather
// than the any; null when the path finds nothing.
const Value* ResolveValue(const Component& component, EventView* view);

// The component as an operand: its value, or the number or name that a last
// ._length, ._type_id or ._repos_id step gives; an error when it finds
// nothing.
Operand ResolveOperand(const Component& component, EventView* view);

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_COMPONENT_PATH_H_
