#!/bin/sh
# CUPS backend of the soak test: keeps every job's output apart. With the
# device URI tavelsoak:FOLDER the job's data goes to FOLDER/job-ID.tspl, and
# FOLDER/job-ID.done notes when it was complete (seconds since the epoch).
if [ $# -eq 0 ]; then
    echo 'direct tavelsoak "Unknown" "Tavel soak test output"'
    exit 0
fi
if [ $# -lt 5 ]; then
    echo "Usage: tavelsoak job-id user title copies options [file]" >&2
    exit 1
fi
folder=${DEVICE_URI#tavelsoak:}
out="$folder/job-$1.tspl"
if [ $# -ge 6 ]; then
    cat -- "$6" > "$out.part" || exit 1
else
    cat > "$out.part" || exit 1
fi
mv -- "$out.part" "$out" || exit 1
date +%s.%N > "$folder/job-$1.done"
