// event!: the GUI's input events. The type stands from the end of start-up; its actions
// come with the GUI.
#pragma once

namespace kel::event {

// Registers event! with an empty action table. Once, at the end of start-up.
void init();

}  // namespace kel::event
