# One line, then a second once the file "next" exists.
echo first
while [ ! -e next ]; do sleep 0.05; done
echo second
