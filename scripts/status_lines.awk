# zel_mapper's status lines in short: state, progress and the tilesets
# listed so far, one line each.
/"state":/ {
  state = $0; sub(/.*"state":/, "", state); sub(/[,}].*/, "", state)
  total = $0; sub(/.*"total":/, "", total); sub(/[,}].*/, "", total)
  ids = ""; rest = $0
  while (match(rest, /"id":"[^"]*"/)) { ids = ids " " substr(rest, RSTART + 6, RLENGTH - 7); rest = substr(rest, RSTART + RLENGTH) }
  if (total < 0) progress = "-"; else progress = sprintf("%3.0f %%", 100 * total)
  printf "zel_mapper: state %4s  progress %6s  outputs:%s\n", state, progress, (ids == "" ? " -" : ids)
  fflush()
}
