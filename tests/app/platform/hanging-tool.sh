#!/bin/sh
exec sleep 600
