#!/bin/sh
# Stands in for a session tool that never answers.
exec sleep 600
