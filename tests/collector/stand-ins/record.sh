# Writes down what it was started with into its working directory, then one line to
# each output stream.
cat /proc/$$/cmdline >argv
readlink /proc/$$/cwd >cwd
cat /proc/$$/environ >environ
grep '^SigIgn' /proc/$$/status >ignored-signals
# ls holds one descriptor of its own (3) while it reads the directory.
ls /proc/self/fd >fds
# sh redirects its own descriptors while it runs a command, so look before writing.
targets=$(readlink /proc/$$/fd/1 /proc/$$/fd/2)
echo "$targets" >stream-targets
echo "out $$"
echo "err $$" >&2
