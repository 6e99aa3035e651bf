# Runs until asked to terminate; while a file "hold" exists it records the request
# and carries on until the file is gone. Its line in "launches" says it is listening.
asked=0
trap 'echo $$ >>signals; asked=1' TERM
echo $$ >>launches
while [ "$asked" = 0 ] || [ -e hold ]; do sleep 0.05; done
