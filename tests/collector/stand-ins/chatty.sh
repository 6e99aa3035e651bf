# 600,000 bytes on standard output and 100 on standard error, each run told apart.
echo $$ >>launches
yes "$$ out" | head -c 600000
yes "$$ err" | head -c 100 >&2
