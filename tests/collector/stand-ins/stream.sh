# Writes numbered lines without pause until it is ended, each line whole.
i=0
while echo "$$ $i"; do i=$((i + 1)); done
