# Exits at once, leaving a line per launch.
echo $$ >>launches
