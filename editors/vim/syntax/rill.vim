" Vim syntax file
" Language: rill
" Filenames: *.rill

if exists('b:current_syntax')
  finish
endif

let s:cpo_save = &cpo
set cpo&vim

" Matches are tried from the last defined to the first, so the catch-all
" comes first and the longer operators after the shorter ones.
syn match rillError "[^ \t]"

" Letters and digits with at most one run of underscores, which cannot come
" first; a keyword is one only as a whole name (loopy, P_ and P1 are names).
syn match rillName "[A-Za-z][A-Za-z0-9]*\%(_\+[A-Za-z0-9]*\)\="
syn match rillKeyword "\%(loop\|if\|out\)\%([A-Za-z0-9_]\)\@!"
syn match rillType "\%(int\|dbl\)\%([A-Za-z0-9_]\)\@!"
syn match rillFunction "\%(P\|F\|S\|rand\)\%([A-Za-z0-9_]\)\@!"
syn match rillReserved "D\%([A-Za-z0-9_]\)\@!"

syn match rillNumber "\d\+"
syn match rillFloat "\d\+\.\d\+"

syn match rillOperator "[-+*/=<>]"
syn match rillOperator "=[-+*/<>!=]\|++\|--"
syn match rillNewline "\\n"
syn match rillDelimiter "[;,(){}]"
syn match rillHeader "#\ze\s*\""

" No escapes: a string ends at the next double quote, over lines if need be.
syn region rillString start=+"+ end=+"+
" A remark: a quote, a string (which may hold a single quote), a quote.
syn region rillRemark start=+'+ end=+'+ contains=rillRemarkText
syn region rillRemarkText start=+"+ end=+"+ contained

" Strings and remarks run over lines, so a screen's colours depend on every
" quote above it: always work them out from the start of the file.
syn sync fromstart

hi def link rillError Error
hi def link rillName Identifier
hi def link rillKeyword Statement
hi def link rillType Type
hi def link rillFunction Function
hi def link rillReserved Error
hi def link rillNumber Number
hi def link rillFloat Float
hi def link rillOperator Operator
hi def link rillNewline SpecialChar
hi def link rillDelimiter Delimiter
hi def link rillHeader PreProc
hi def link rillString String
hi def link rillRemark Comment
hi def link rillRemarkText Comment

let b:current_syntax = 'rill'

let &cpo = s:cpo_save
unlet s:cpo_save
