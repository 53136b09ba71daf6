package require json

set f [open [lindex $argv 0]]
fconfigure $f -encoding utf-8
set doc [json::json2dict [read $f]]
close $f
puts [llength [dict get $doc items]]
